#include "display/kill_prefix.hpp"
#include "settings/settings.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace testsupport;

namespace {

struct MemFile {
  explicit MemFile(std::string text) : text_(std::move(text)) {
    fp = fmemopen(text_.data(), text_.size(), "r");
  }
  ~MemFile() {
    if (fp)
      std::fclose(fp);
  }
  std::string text_;
  std::FILE *fp;
};

TEST(KillPrefixDecide, ListingLines) {
  struct Case {
    const char *line;
    int pid;
  };
  const Case cases[] = {{"4100\n", 4100}, {"4100", 4100}, {"  42\n", 42}, {"\t7\n", 7},
                        {"12abc\n", 12},  {"\n", 0},      {"", 0},        {"abc\n", 0},
                        {"-5\n", 0},      {"0\n", 0},     {"+9\n", 9},    {"99999999999\n", 0}};
  for (const Case &c : cases) {
    char line[32];
    std::strcpy(line, c.line);
    EXPECT_EQ(kill_prefix::pid_of_listing_line(line), c.pid) << c.line;
  }
}

TEST(KillPrefixDecide, MapNamesNtdll) {
  const std::string wine_map =
      "7f0000000000-7f0000001000 r--p 00000000 fe:01 1 /usr/lib/x86_64-linux-gnu/wine/"
      "x86_64-unix/ntdll.so\n"
      "140000000-140001000 r--p 00000000 fe:01 2 /usr/lib/x86_64-linux-gnu/wine/x86_64-windows/"
      "ntdll.dll\n";
  struct Case {
    std::string map;
    bool names;
  };
  const Case cases[] = {
      {wine_map, true},
      {"55d0-55d1 r--p 0 fe:01 3 /usr/bin/sleep\n7f00-7f01 r--p 0 fe:01 4 /usr/lib/libc.so.6\n",
       false},
      {"", false},
      {"7f00-7f01 r--p 0 fe:01 5 /usr/lib/wine/ntdll.so\n", false},
      // A line longer than one read still counts when the name is in a piece.
      {std::string(1500, 'x') + " /x/ntdll.dll\n", true},
  };
  for (const Case &c : cases) {
    MemFile f(c.map);
    ASSERT_NE(f.fp, nullptr);
    EXPECT_EQ(kill_prefix::map_names_ntdll(f.fp), c.names) << c.map.substr(0, 80);
  }
}

TEST(KillPrefixDecide, ListingCommandQuotesThePathAsOneWord) {
  EXPECT_EQ(kill_prefix::listing_command("/home/u/.wine"),
            "lsof -t +D '/home/u/.wine' 2>/dev/null");
  EXPECT_EQ(kill_prefix::listing_command("/p/it's"), "lsof -t +D '/p/it'\\''s' 2>/dev/null");
  // 998 characters fit the 1023 usable bytes; 999 do not, and nothing is cut.
  EXPECT_TRUE(kill_prefix::listing_command("/" + std::string(997, 'p')).has_value());
  EXPECT_FALSE(kill_prefix::listing_command("/" + std::string(998, 'p')).has_value());
  EXPECT_FALSE(kill_prefix::listing_command("/" + std::string(300, '\'')).has_value());
}

TEST(KillPrefixDecide, ListingCommandReachesTheToolAsOneWordAndRunsNothingElse) {
  TempDir dir;
  make_dirs(dir / "bin");
  std::string rec = dir / "rec";
  // Stands in for lsof: records its arguments, one per line.
  write_script(dir / "bin/lsof",
               "for a in \"$@\"; do printf '<%s>\\n' \"$a\"; done > '" + rec + "'\n");
  const std::string paths[] = {
      "/p/it's a $(touch pwned) `touch pwned2`; touch pwned3 | x & y",
      "/p/\"double\" \\back\\slash *glob? $HOME ${HOME} ~ !hist #hash",
      "/p/line\nbreak\ttab",
      "-leading-dash",
  };
  ScopedEnv path("PATH", dir / "bin:/usr/bin:/bin");
  for (const std::string &p : paths) {
    auto cmd = kill_prefix::listing_command(p);
    ASSERT_TRUE(cmd.has_value());
    ProcOptions o;
    o.cwd = dir.path();
    ProcResult r = run_process({"/bin/sh", "-c", *cmd}, o);
    EXPECT_EQ(read_file(rec), "<-t>\n<+D>\n<" + p + ">\n") << p;
    for (const char *name : {"pwned", "pwned2", "pwned3"})
      EXPECT_FALSE(exists(dir / name)) << p;
  }
}

TEST(KillPrefixDecide, PidListAndKillCommand) {
  kill_prefix::PidList pids;
  EXPECT_TRUE(pids.add(4100));
  EXPECT_TRUE(pids.add(4123));
  EXPECT_TRUE(pids.add(4150));
  EXPECT_EQ(pids.count(), 3);
  EXPECT_STREQ(pids.text(), "4100 4123 4150");
  EXPECT_EQ(kill_prefix::kill_command(pids), "kill -9 4100 4123 4150 2>/dev/null");
}

TEST(KillPrefixDecide, CollectSkipsBadLinesAndNonWindowsProcesses) {
  MemFile listing("4100\n\nabc\n4123\n-3\n  4150\n5000\n" + std::string(40, '7') + "\n");
  std::vector<int> asked;
  kill_prefix::PidList pids;
  CaptureStderr();
  kill_prefix::collect_pids(
      listing.fp,
      [&](int pid) {
        asked.push_back(pid);
        return pid != 5000 && pid < 100000;
      },
      pids);
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_STREQ(pids.text(), "4100 4123 4150");
  EXPECT_EQ(pids.count(), 3);
  // The 40-digit line is read in pieces of 31 and 9 characters; the first is
  // no process id.
  EXPECT_EQ(asked, (std::vector<int>{4100, 4123, 4150, 5000, 777777777}));
}

TEST(KillPrefixDecide, StopsWhenTheListIsNearlyFull) {
  // Ten-digit ids add eleven characters each: the 370th reaches 4069 >= 4064.
  std::string text;
  for (int i = 0; i < 400; ++i)
    text += std::to_string(1000000000 + i) + "\n";
  MemFile listing(text);
  kill_prefix::PidList pids;
  int asked = 0;
  CaptureStderr();
  kill_prefix::collect_pids(
      listing.fp,
      [&](int) {
        ++asked;
        return true;
      },
      pids);
  EXPECT_EQ(GetCapturedStderr(), "警告：kill_pids缓冲区即将满，已处理 370 个进程\n");
  EXPECT_EQ(pids.count(), 370);
  EXPECT_EQ(asked, 370);
  EXPECT_EQ(std::strlen(pids.text()), 4069u);
  std::string t = pids.text();
  EXPECT_EQ(t.substr(t.size() - 10), "1000000369");
}

// A process that is not Wine but maps a file named ntdll.dll, as every
// process running Windows code does: a copy of sleep under that name.
class Spawned {
public:
  Spawned(const std::string &program, const std::string &cwd) {
    std::fflush(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      if (chdir(cwd.c_str()) != 0)
        _exit(126);
      execl(program.c_str(), program.c_str(), "600", static_cast<char *>(nullptr));
      _exit(127);
    }
  }
  ~Spawned() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  int pid() const { return pid_; }

private:
  pid_t pid_;
};

class KillPrefixTest : public testing::Test {
protected:
  void SetUp() override {
    make_dirs(dir / "prefix/drive_c");
    make_dirs(dir / "bin");
    ASSERT_EQ(run_process({"cp", "/bin/sleep", dir / "bin/ntdll.dll"}).status, 0);
  }
  void TearDown() override { wine_prefix = nullptr; }
  void run(std::string *out, std::string *err) {
    CaptureStdout();
    CaptureStderr();
    kill_prefix_processes();
    *out = GetCapturedStdout();
    *err = GetCapturedStderr();
  }
  bool mapped(int pid) {
    return eventually([&] { return kill_prefix::process_maps_ntdll(pid); }, 10, 20);
  }
  TempDir dir;
  std::string prefix_text;
};

TEST_F(KillPrefixTest, KillsOnlyProcessesMappingNtdllInOneCommand) {
  Spawned windows1(dir / "bin/ntdll.dll", dir / "prefix/drive_c");
  Spawned windows2(dir / "bin/ntdll.dll", dir / "prefix");
  Spawned plain(dir / "bin/ntdll.dll", dir.path());     // maps ntdll.dll but outside the prefix
  Spawned holder("/bin/sleep", dir / "prefix/drive_c"); // inside, but no Windows code
  ASSERT_TRUE(mapped(windows1.pid()));
  ASSERT_TRUE(mapped(windows2.pid()));
  ASSERT_TRUE(mapped(plain.pid()));
  prefix_text = dir / "prefix";
  wine_prefix = prefix_text.c_str();
  std::string out, err;
  run(&out, &err);
  EXPECT_EQ(err, "");
  std::string a = std::to_string(windows1.pid()), b = std::to_string(windows2.pid());
  EXPECT_TRUE(out == "已一次性终止 2 个进程: " + a + " " + b + "\n" ||
              out == "已一次性终止 2 个进程: " + b + " " + a + "\n")
      << out;
  EXPECT_TRUE(eventually([&] { return !pid_alive(windows1.pid()); }, 5, 20));
  EXPECT_TRUE(eventually([&] { return !pid_alive(windows2.pid()); }, 5, 20));
  EXPECT_TRUE(pid_alive(plain.pid()));
  EXPECT_TRUE(pid_alive(holder.pid()));

  // Nothing of the prefix runs Windows code any more: no output at all.
  run(&out, &err);
  EXPECT_EQ(out, "");
  EXPECT_EQ(err, "");
  EXPECT_TRUE(pid_alive(holder.pid()));
}

TEST_F(KillPrefixTest, LeadingTildeIsTheHomeFolder) {
  Spawned windows(dir / "bin/ntdll.dll", dir / "prefix/drive_c");
  ASSERT_TRUE(mapped(windows.pid()));
  ScopedEnv home("HOME", dir.path());
  wine_prefix = "~/prefix";
  std::string out, err;
  run(&out, &err);
  EXPECT_EQ(out, "已一次性终止 1 个进程: " + std::to_string(windows.pid()) + "\n");
  EXPECT_TRUE(eventually([&] { return !pid_alive(windows.pid()); }, 5, 20));
}

TEST_F(KillPrefixTest, NoPrefixOrTooLongPrefixListsNothing) {
  make_dirs(dir / "fakebin");
  std::string rec = dir / "lsof-ran";
  write_script(dir / "fakebin/lsof", "touch '" + rec + "'\n");
  ScopedEnv path("PATH", dir / "fakebin:/usr/bin:/bin");
  std::string out, err;

  wine_prefix = nullptr;
  run(&out, &err);
  EXPECT_EQ(out + err, "");
  wine_prefix = "";
  run(&out, &err);
  EXPECT_EQ(out + err, "");
  EXPECT_FALSE(exists(rec));

  prefix_text = "/" + std::string(998, 'p');
  wine_prefix = prefix_text.c_str();
  run(&out, &err);
  EXPECT_EQ(out, "");
  EXPECT_EQ(err, "错误：容器路径过长，无法列出容器中的进程\n");
  EXPECT_FALSE(exists(rec));

  // The longest path that fits is listed.
  prefix_text = "/" + std::string(997, 'p');
  wine_prefix = prefix_text.c_str();
  run(&out, &err);
  EXPECT_EQ(out + err, "");
  EXPECT_TRUE(exists(rec));
}

TEST_F(KillPrefixTest, MissingListingToolKillsNothingSilently) {
  Spawned windows(dir / "bin/ntdll.dll", dir / "prefix/drive_c");
  ASSERT_TRUE(mapped(windows.pid()));
  make_dirs(dir / "empty");
  ScopedEnv path("PATH", dir / "empty");
  prefix_text = dir / "prefix";
  wine_prefix = prefix_text.c_str();
  std::string out, err;
  run(&out, &err);
  EXPECT_EQ(out, "");
  EXPECT_EQ(err, "");
  EXPECT_TRUE(pid_alive(windows.pid()));
}

} // namespace

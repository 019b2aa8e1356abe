// The real program under a hostile environment: a launcher that never answers
// --version, and prefix, HOME and launcher paths full of shell characters,
// quotes, line breaks and bytes that are no UTF-8.
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using namespace testsupport;

namespace {

class HostileEnv : public testing::Test {
protected:
  void SetUp() override { SKIP_WITHOUT_DISPLAY(); }
  TempDir dir;
};

// The window waits for the version query; a launcher that never ends it costs
// the bounded wait, not the window.
TEST_F(HostileEnv, LauncherThatNeverAnswersDelaysTheWindowOnly10Seconds) {
  const std::string pids = dir / "pids";
  write_script(dir / "wine",
               "echo $$ >> '" + pids + "'\nsleep 1000 &\necho $! >> '" + pids + "'\nsleep 1000\n");
  ProcOptions o;
  o.env["HOME"] = dir.path();
  o.env["WINEPREFIX"] = dir / "prefix";
  o.env["WINE_APP"] = dir / "wine";
  o.env["MULTI_THREAD_NUM"] = std::nullopt;
  o.timeout_s = 60;
  o.while_running = [](int, void *) {
    std::thread([] {
      run_process({tool_path("xwin"), "close", "wine辅助程序", "40000"});
    }).detach();
  };
  auto start = std::chrono::steady_clock::now();
  ProcResult r = run_process({helper_path(), "prog.exe"}, o);
  auto took = std::chrono::steady_clock::now() - start;

  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_GE(took, std::chrono::seconds(10));
  EXPECT_LT(took, std::chrono::seconds(40));
  EXPECT_THAT(r.err, HasSubstr("警告：Wine 启动器 " + dir / "wine" +
                               " 的版本查询在 10 秒内没有结束，已终止\n"));
  EXPECT_THAT(r.out, StartsWith("Failed to get Wine version.\nsys:\nsysname: "));
  std::ifstream in(pids);
  int pid = 0, seen = 0;
  while (in >> pid) {
    ++seen;
    EXPECT_TRUE(eventually([&] { return !pid_alive(pid); }, 5, 50))
        << "process " << pid << " of the query outlived start-up";
  }
  EXPECT_EQ(seen, 2);
}

// A prefix is a folder users download and unpack: its user.reg may be a FIFO, a device or a
// huge sparse file. The window comes at once with 96 and the message for a missing file.
TEST_F(HostileEnv, SpecialUserRegShowsTheWindowAtOnce) {
  struct Case {
    const char *name;
    std::function<void(const std::string &path)> make;
    const char *dpi;
  } cases[] = {
      {"FIFO", [](const std::string &p) { mkfifo(p.c_str(), 0600); }, nullptr},
      {"link to /dev/zero", [](const std::string &p) { symlink("/dev/zero", p.c_str()); }, nullptr},
      {"2 GB sparse file",
       [](const std::string &p) {
         write_file(p, "[Control Panel\\\\Desktop] 1\n\"LogPixels\"=dword:00000090\n");
         truncate(p.c_str(), off_t{2} << 30);
       },
       "144"},
  };
  write_script(dir / "wine", "echo wine-test\n");
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string prefix = dir / c.name;
    make_dirs(prefix);
    c.make(prefix + "/user.reg");
    ProcOptions o;
    o.env["HOME"] = dir.path();
    o.env["WINEPREFIX"] = prefix;
    o.env["WINE_APP"] = dir / "wine";
    o.timeout_s = 30;
    o.while_running = [](int, void *) {
      std::thread([] {
        run_process({tool_path("xwin"), "close", "wine辅助程序", "20000"});
      }).detach();
    };
    auto start = std::chrono::steady_clock::now();
    ProcResult r = run_process({helper_path(), "prog.exe"}, o);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0) << r.err;
    if (c.dpi) {
      EXPECT_THAT(r.out, HasSubstr("user.reg 解析到DPI: 144\n"));
    } else {
      EXPECT_THAT(r.err, HasSubstr("无法打开注册表文件: " + prefix +
                                   "/user.reg\n"
                                   "警告：无法从注册表文件读取DPI值，使用默认值96\n"));
    }
  }
}

// Start-up, the DPI change and the start of the program with every path
// hostile at once: the prefix is searched for processes and holds the
// registry, HOME the flag file, the launcher the version query, reg and the
// detached start.
TEST_F(HostileEnv, EveryPathHostileAtOnceRunsOnlyWhatItShould) {
  const std::string prefix = dir / "pre $(touch pwned1) it's\n\xff";
  const std::string home = dir / "home `touch pwned2`;touch pwned3 \"q\"";
  const std::string launcher = dir / "wine \"$(touch pwned4)\" \xfe";
  make_dirs(prefix);
  make_dirs(home + "/.config/nivra-wine");
  write_file(prefix + "/user.reg", "[Control Panel\\\\Desktop] 1\n\"LogPixels\"=dword:00000060\n");
  // Answers --version, writes reg's value into user.reg as Wine would, and
  // notes every other command line as the started program.
  write_launcher(launcher, {{"--version", "echo wine-hostile"},
                            {"reg", note_args(dir / "reg-log", true) + "; " +
                                        store_dpi("\"$WINEPREFIX/user.reg\"")},
                            {"*", note_args(dir / "started", false)}});
  ProcOptions o;
  o.env["HOME"] = home;
  o.env["WINEPREFIX"] = prefix;
  o.env["WINE_APP"] = launcher;
  o.env["MULTI_THREAD_NUM"] = std::nullopt;
  o.env["NIVRA_DRIVE_DPI"] = "120";
  o.env["NIVRA_DRIVE_NO_PROMPT"] = std::nullopt;
  o.cwd = dir.path();
  o.timeout_s = 120;
  ProcResult r = run_process({tool_path("confirm_driver"), "prog.exe", "a b"}, o);

  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("nivra-wine version: wine-hostile\n"));
  EXPECT_THAT(r.out, HasSubstr("从文件 " + prefix + "/user.reg 解析到DPI: 96\n"));
  EXPECT_THAT(r.out, HasSubstr("DPI设置成功生效，当前DPI值: 120\n"));
  EXPECT_EQ(read_file(dir / "reg-log"),
            "<reg><add><HKEY_CURRENT_USER\\Control Panel\\Desktop></v><LogPixels></t><REG_DWORD>"
            "</d><120></f>");
  EXPECT_EQ(read_file(home + "/.config/nivra-wine/enable_wine_start_helper"), "0");
  EXPECT_TRUE(eventually([&] { return read_file(dir / "started") == "<prog.exe><a b>"; }, 10, 50))
      << read_file(dir / "started");
  for (const char *marker : {"pwned1", "pwned2", "pwned3", "pwned4"})
    EXPECT_FALSE(exists(dir / marker)) << marker;
}

} // namespace

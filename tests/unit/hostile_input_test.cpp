// Hostile names and missing or misbehaving tools: every place a path reaches a
// shell or a file, the launcher's version query, and a user.reg that cannot be
// read. Nothing may run that the user did not ask for, and nothing may hang.
#include "confirm/flag_file.hpp"
#include "debug/capture.hpp"
#include "launch/cmd_runner.hpp"
#include "log/log_sink.hpp"
#include "prefix/dpi_reader.hpp"
#include "prefix/stop.hpp"
#include "settings/settings.hpp"
#include "startup.hpp"
#include "test_support.hpp"
#include "util/shell_quote.hpp"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace testsupport;

namespace {

// Names for a folder or a file. Each that runs anything leaves a file pwnedN
// in the working folder.
const std::vector<std::string> kHostileNames = {
    "blank name",
    "it's \"both\" quotes",
    "$(touch pwned1)",
    "`touch pwned2`",
    "semi;touch pwned3;&|<>",
    "new\nline\ntouch pwned4",
    "\xff\xfe bytes \xc3(\x80",
    "-dash ~ * ? $HOME ${IFS} \\back ! %s%n%x",
};

void expect_no_marker(const TempDir &dir, const std::string &name) {
  for (const char *marker : {"pwned1", "pwned2", "pwned3", "pwned4"})
    EXPECT_FALSE(exists(dir / marker)) << "ran a command from " << name;
}

// Keeps the process-wide settings a test changes.
class Settings : public testing::Test {
protected:
  void SetUp() override {
    std::memcpy(saved_app_path_, wine_app_path, sizeof(wine_app_path));
    std::memcpy(saved_sys_info_, sys_info, sizeof(sys_info));
    std::snprintf(sys_info, sizeof(sys_info), "sysname: TestOS");
  }
  void TearDown() override {
    std::memcpy(wine_app_path, saved_app_path_, sizeof(wine_app_path));
    std::memcpy(sys_info, saved_sys_info_, sizeof(sys_info));
    wine_prefix = nullptr;
    std::strcpy(current_dpi, "96");
    if (mycat)
      log4c_category_delete(mycat);
    mycat = nullptr;
  }
  void set_launcher(const std::string &path) {
    ASSERT_LT(path.size(), sizeof(wine_app_path));
    std::strcpy(wine_app_path, path.c_str());
  }
  struct Output {
    std::string out, err;
  };
  Output version_query(int limit_ms = 10000) {
    CaptureStdout();
    CaptureStderr();
    get_wine_version(limit_ms);
    Output o;
    o.out = GetCapturedStdout();
    o.err = GetCapturedStderr();
    return o;
  }

  TempDir dir;
  char saved_app_path_[sizeof(wine_app_path)];
  char saved_sys_info_[sizeof(sys_info)];
};

// ---- Paths that reach a shell ----

using HostilePaths = Settings;

TEST_F(HostilePaths, LauncherAnswersTheVersionQueryAsOneWord) {
  ScopedCwd cwd(dir.path());
  for (const std::string &name : kHostileNames) {
    SCOPED_TRACE(name);
    write_script(dir / name, "echo \"answered with $# argument: $1\"\n");
    set_launcher(dir / name);
    std::snprintf(sys_info, sizeof(sys_info), "sysname: TestOS");
    Output o = version_query();
    EXPECT_EQ(o.out, "sys:\nsysname: TestOS\nnivra-wine version: answered with 1 argument: "
                     "--version\n\n");
    EXPECT_EQ(o.err, "");
    expect_no_marker(dir, name);
  }
}

TEST_F(HostilePaths, LauncherRunsToolsAsOneWord) {
  ScopedCwd cwd(dir.path());
  const std::string rec = dir / "rec";
  for (const std::string &name : kHostileNames) {
    SCOPED_TRACE(name);
    write_file(rec, "");
    write_script(dir / name, "printf '<%s>' \"$@\" >> '" + rec + "'\n");
    const char *args[] = {"winecfg", nullptr};
    CaptureStdout();
    CaptureStderr();
    run_cmd_sync((dir / name).c_str(), args);
    EXPECT_EQ(GetCapturedStdout(), "cmd [" + shell_quote::quote(dir / name) + " winecfg]\n");
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(read_file(rec), "<winecfg>");
    expect_no_marker(dir, name);
  }
}

// The kernel writes a line feed in a mapped file's name as "\012": a process
// whose only hold on the prefix is a mapped file is found under any name.
TEST_F(HostilePaths, PrefixProcessesAreFoundUnderAnyName) {
  ScopedCwd cwd(dir.path());
  make_dirs(dir / "bin");
  const std::string windows = windows_like_holder(dir / "bin");
  for (const std::string &name : kHostileNames) {
    SCOPED_TRACE(name);
    std::string prefix = dir / name;
    make_dirs(prefix);
    // A client of the prefix's server maps a file of its folder.
    std::string server = dir / ("srv/" + prefix_path::prefix_places_of(prefix).server_dir);
    make_dirs(server);
    write_file(server + "/tmpmap", "x");
    FileHolder holder(windows, dir.path(), "", server + "/tmpmap");
    wine_prefix = prefix.c_str();
    CaptureStdout();
    CaptureStderr();
    stop::stop(processes::select("/proc", prefix_path::current_prefix_places(), nullptr));
    EXPECT_EQ(GetCapturedStdout(), "已一次性终止 1 个进程: " + std::to_string(holder.pid()) + "\n");
    EXPECT_EQ(GetCapturedStderr(), "");
    expect_no_marker(dir, name);
  }
}

// The prefix's user.reg, the flag file under HOME and the log files never pass
// through a shell: the names only have to work.
TEST_F(HostilePaths, RegistryFlagFileAndLogFilesWorkUnderAnyName) {
  ScopedCwd cwd(dir.path());
  // Nothing of the user's may configure log4c.
  TempDir rc;
  ScopedEnv rcpath("LOG4C_RCPATH", rc.path());
  ScopedEnv rchome("HOME", rc.path());
  for (const std::string &name : kHostileNames) {
    SCOPED_TRACE(name);
    std::string prefix = dir / name;
    make_dirs(prefix);
    write_file(prefix + "/user.reg",
               "[Control Panel\\\\Desktop] 1\n\"LogPixels\"=dword:00000078\n");
    wine_prefix = prefix.c_str();
    std::strcpy(current_dpi, "96");
    CaptureStdout();
    EXPECT_STREQ(get_current_dpi(), "120");
    GetCapturedStdout();

    make_dirs(prefix + "/.config/nivra-wine");
    {
      ScopedEnv home("HOME", prefix);
      CaptureStderr();
      write_flag_file(true);
      EXPECT_EQ(GetCapturedStderr(), "");
    }
    EXPECT_EQ(read_file(prefix + "/.config/nivra-wine/enable_wine_start_helper"), "0");

    // Folder and file prefix of the log both hostile; the user's own command is plain.
    CaptureStdout();
    init_log_sink(prefix.c_str(), name.c_str(), 20480, 2);
    ASSERT_NE(mycat, nullptr);
    capture::run_captured("", "", "echo captured", 0);
    std::string out = GetCapturedStdout();
    EXPECT_THAT(out, HasSubstr("log4c_api 配置完成\n"));
    const std::string log = read_file(prefix + "/" + name + ".0");
    EXPECT_THAT(log, StartsWith("sysname: TestOS"));
    EXPECT_THAT(log, EndsWith("INFO     nivra-wine- captured\n"));
    expect_no_marker(dir, name);
  }
}

// ---- The launcher's version query ----

using VersionQuery = Settings;

TEST_F(VersionQuery, FirstLineAsFgetsReadsIt) {
  struct Case {
    const char *name;
    std::string script;
    std::optional<std::string> version; // nullopt: no line
  };
  const Case cases[] = {
      {"one line", "echo wine-9.0\n", "wine-9.0\n"},
      {"first of two", "echo first; echo second\n", "first\n"},
      {"no newline", "printf wine-8\n", "wine-8"},
      {"cut at 127 bytes", "printf '%0200d\\n' 0\n", std::string(127, '0')},
      {"leading NUL still counts as a line", "printf '\\000abc\\n'\n", ""},
      {"keeps writing after the line", "echo wine-7; exec yes\n", "wine-7\n"},
      {"silent", "exit 3\n", std::nullopt},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    write_script(dir / "launcher", c.script);
    set_launcher(dir / "launcher");
    std::snprintf(sys_info, sizeof(sys_info), "sysname: TestOS");
    Output o = version_query();
    std::string expected = c.version
                               ? "sys:\nsysname: TestOS\nnivra-wine version: " + *c.version + "\n"
                               : "Failed to get Wine version.\nsys:\nsysname: TestOS\n";
    EXPECT_EQ(o.out, expected);
    EXPECT_THAT(o.err, Not(HasSubstr("警告")));
  }
}

TEST_F(VersionQuery, MissingLauncherIsASilentOne) {
  for (const std::string &launcher : {dir / "no-such-wine", dir / "no such wine"}) {
    set_launcher(launcher);
    Output o = version_query();
    EXPECT_EQ(o.out, "Failed to get Wine version.\nsys:\nsysname: TestOS\n");
    // The shell's own complaint, and none of ours.
    EXPECT_THAT(o.err, HasSubstr("not found"));
    EXPECT_THAT(o.err, Not(HasSubstr("警告")));
  }
}

TEST_F(VersionQuery, LongQuotedLauncherIsRunWholeNeverCut) {
  ScopedCwd cwd(dir.path());
  // Each quote takes four characters quoted: over 1,000 for the word. Cut short, it would
  // name the same path with fewer quotes: every such path is another program here.
  for (int quotes = 0; quotes < 250; ++quotes)
    write_script(dir / ("a bc" + std::string(quotes, '\'')), "touch pwned1\n");
  write_script(dir / ("a bc" + std::string(250, '\'')), "echo wine-long\n");
  set_launcher(dir / ("a bc" + std::string(250, '\'')));
  Output o = version_query();
  EXPECT_EQ(o.out, "sys:\nsysname: TestOS\nnivra-wine version: wine-long\n\n");
  EXPECT_EQ(o.err, "");
  EXPECT_FALSE(exists(dir / "pwned1"));
}

TEST_F(VersionQuery, HangingLauncherIsStoppedWithItsChildren) {
  struct Case {
    const char *name;
    std::string body; // before the hang
  };
  const Case cases[] = {
      {"says nothing", ""},
      {"half a line", "printf wine-"},
      {"a line, then never ends", "echo wine-9.0"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string pids = dir / "pids";
    write_file(pids, "");
    // The launcher notes its own id and that of a child that would outlive it.
    write_script(dir / "launcher hangs", std::string(c.body) + "\necho $$ >> '" + pids +
                                             "'\nsleep 1000 &\necho $! >> '" + pids +
                                             "'\nsleep 1000\n");
    set_launcher(dir / "launcher hangs");
    auto start = std::chrono::steady_clock::now();
    Output o = version_query(1000);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_EQ(o.out, "Failed to get Wine version.\nsys:\nsysname: TestOS\n");
    EXPECT_STREQ(sys_info, "sysname: TestOS");
    EXPECT_EQ(o.err, "警告：Wine 启动器 " + dir / "launcher hangs" +
                         " 的版本查询在 1 秒内没有结束，已终止\n");
    std::ifstream in(pids);
    int pid = 0, seen = 0;
    while (in >> pid) {
      ++seen;
      EXPECT_TRUE(eventually([&] { return !pid_alive(pid); }, 5, 20))
          << "process " << pid << " outlived the query";
    }
    EXPECT_EQ(seen, 2) << "the launcher did not get to start its child";
  }
}

TEST_F(VersionQuery, CommandThatCannotStartIsReportedWithPerror) {
  // No descriptor left for the pipe.
  ProcResult r = run_in_child([] {
    for (int fd = 3; fd < 1024; ++fd)
      close(fd);
    rlimit none{3, 3};
    setrlimit(RLIMIT_NOFILE, &none);
    get_wine_version();
    return 0;
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "popen failed: Too many open files\n");
}

// ---- A user.reg that cannot be read ----

// Root reads every file; the check needs a user the permission applies to.
TEST(UserRegPermission, UnreadableFileIsReportedAndKeepsTheValue) {
  TempDir dir;
  chmod(dir.path().c_str(), 0755);
  const std::string readable = dir / "readable.reg", locked = dir / "locked.reg";
  for (const std::string &path : {readable, locked})
    write_file(path, "[Control Panel\\\\Desktop] 1\n\"LogPixels\"=dword:00000090\n");
  chmod(readable.c_str(), 0644);
  chmod(locked.c_str(), 0000);

  ProcResult r = run_in_child(
      [&] {
        int fails = 0;
        char dest[20] = "keep";
        // The same file, readable, is read: the refusal below is the permission's doing.
        if (!read_dpi_from_user_reg(readable.c_str(), dest, sizeof(dest)) ||
            std::strcmp(dest, "144") != 0)
          fails |= 1;
        std::strcpy(dest, "keep");
        if (read_dpi_from_user_reg(locked.c_str(), dest, sizeof(dest)) ||
            std::strcmp(dest, "keep") != 0)
          fails |= 2;
        return fails;
      },
      true);
  if (r.status == kNoUnprivilegedUser)
    GTEST_SKIP() << "cannot switch to an unprivileged user here";
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "无法打开注册表文件: " + locked + "\n");
}

} // namespace

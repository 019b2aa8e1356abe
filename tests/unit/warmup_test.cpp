// The warm-up's decisions and its first process, with script launchers.
#include "prefix/warmup.hpp"
#include "settings/settings.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

using namespace testsupport;
using warmup::Outcome;

namespace {

// What is started, what is said, and what each outcome leaves running.
TEST(Warmup, StartsOnlyAnExistingPrefixWithoutServerAndSaysWhyNot) {
  TempDir dir;
  ScopedEnv tmp("TMPDIR", dir.path());
  write_script(dir / "waits", "echo \"$$ $@\" > '" + dir / "args" + "'; exec cat >/dev/null\n");
  write_script(dir / "fails", "exit 3\n");
  // Deaf to the end of its input: still there unless it is stopped.
  write_script(dir / "stays", "echo \"$$ $@\" > '" + dir / "args" + "'; exec sleep 60\n");
  const struct {
    std::string name;
    std::vector<std::string> files; // in the prefix
    bool locked;                    // a server holds the lock of its folder
    std::string launcher;
    Outcome outcome;
    std::string err;
  } rows[] = {
      {"no folder", {}, false, dir / "waits", Outcome::no_prefix, ""},
      {"user.reg alone", {"user.reg"}, false, dir / "waits", Outcome::no_prefix, ""},
      {"a server runs", {"system.reg", "user.reg"}, true, dir / "waits", Outcome::server_runs, ""},
      {"no launcher",
       {"system.reg", "user.reg"},
       false,
       dir / "missing",
       Outcome::failed,
       "警告：无法预先启动 Wine 容器：" + dir / "missing" + ": No such file or directory\n"},
      {"Wine fails",
       {"system.reg", "user.reg"},
       false,
       dir / "fails",
       Outcome::started,
       "警告：预先启动 Wine 容器失败（启动器退出状态 3），按“确定”后照常启动\n"},
      {"a FIFO for the server's folder name",
       {"system.reg", "user.reg"},
       false,
       dir / "waits",
       Outcome::started,
       ""},
      {"started", {"system.reg", "user.reg"}, false, dir / "waits", Outcome::started, ""},
      {"started, then the program",
       {"system.reg", "user.reg"},
       false,
       dir / "stays",
       Outcome::started,
       ""},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    std::string prefix = dir / ("p" + std::to_string(&row - rows));
    if (row.name != "no folder")
      make_dirs(prefix);
    for (const std::string &file : row.files)
      write_file(prefix + "/" + file, "");
    if (row.name.find("FIFO") != std::string::npos)
      ASSERT_EQ(mkfifo((prefix + "/wineserver").c_str(), 0600), 0);
    else if (exists(prefix))
      write_file(prefix + "/wineserver", "wine-test\n");
    int holder = -1;
    if (row.locked) {
      // The packaged Wine's server folder, named by the prefix's "wineserver" file.
      prefix_path::PrefixPlaces places = prefix_path::prefix_places_of(prefix);
      std::string server = dir / ("wine-test/" + places.server_dir);
      make_dirs(server);
      ASSERT_EQ(warmup::server_dirs(places, getuid(), dir.path()).back(), server);
      int ready[2];
      ASSERT_EQ(pipe(ready), 0);
      holder = fork();
      if (holder == 0) {
        int fd = open((server + "/lock").c_str(), O_WRONLY | O_CREAT, 0600);
        struct flock lock {};
        lock.l_type = F_WRLCK;
        _exit(fcntl(fd, F_SETLK, &lock) == 0 && write(ready[1], "1", 1) == 1 ? pause() : 1);
      }
      char c;
      ASSERT_EQ(read(ready[0], &c, 1), 1);
      close(ready[0]);
      close(ready[1]);
    }
    remove_tree(dir / "args");
    wine_prefix = prefix.c_str();
    CaptureStdout();
    CaptureStderr();
    Outcome outcome = warmup::start(row.launcher.c_str());
    if (row.name == "Wine fails") {
      EXPECT_TRUE(eventually(
          [] {
            warmup::reap();
            return !warmup::running();
          },
          10, 20));
    }
    std::string out = GetCapturedStdout();
    std::string err = GetCapturedStderr();
    EXPECT_EQ(outcome, row.outcome);
    EXPECT_EQ(err, row.err);
    EXPECT_EQ(out.find("prefix warm-up [") != std::string::npos, row.outcome == Outcome::started);
    if (row.name.rfind("started", 0) == 0) {
      const bool program = row.name != "started";
      ASSERT_TRUE(warmup::running());
      ASSERT_TRUE(eventually([&] { return exists(dir / "args"); }, 10));
      int launcher = std::stoi(read_file(dir / "args"));
      EXPECT_EQ(read_file(dir / "args"), std::to_string(launcher) + " cmd.exe\n");
      EXPECT_TRUE(warmup::is_own(launcher));
      EXPECT_FALSE(warmup::is_own(getpid()));
      // Closed without a start, with nothing of the user's there, it is
      // stopped; after a start it is only let go, the program perhaps not yet
      // in /proc.
      warmup::end_unused(program);
      EXPECT_FALSE(warmup::running());
      EXPECT_NE(eventually([&] { return !pid_alive(launcher); }, program ? 1 : 5), program);
      kill(launcher, SIGKILL);
      waitpid(launcher, nullptr, 0);
    }
    warmup::end_unused(false);
    if (holder > 0) {
      kill(holder, SIGKILL);
      waitpid(holder, nullptr, 0);
      EXPECT_FALSE(warmup::server_runs(prefix_path::prefix_places_of(prefix)))
          << "the lock went with it";
    }
    wine_prefix = nullptr;
  }
}

} // namespace

#include "report/archive.hpp"
#include "report/system_facts.hpp"
#include "settings/settings.hpp"
#include "test_support.hpp"

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

using namespace testsupport;

namespace {

const redact::identity kWho{"wine", {"/home/wine"}, "box"};

std::vector<std::string> folder(const std::string &dir) {
  std::vector<std::string> names;
  for (const auto &e : std::filesystem::directory_iterator(dir))
    names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

archive::result make(const std::string &dir, const std::vector<std::string> &files,
                     const std::string &name = "wine.log-1.tar.xz",
                     archive::progress *prog = nullptr) {
  archive::progress own;
  archive::request req{dir, files, "Command line: wine /home/wine/a.exe\n", kWho, 0, 0};
  return archive::make(req, name, prog ? *prog : own);
}

TEST(Archive, HoldsTheRedactedLogsOldestFirstAndSystemTxtAndPutsThemBackLineForLine) {
  TempDir dir;
  const std::string header = "sysname: Linux\nnodename: box\nrelease: 6.1\n";
  std::string big;
  for (int i = 0; i < 60000; ++i) // more than one read of the file, a line cut between reads
    big += "0024:trace:loaddll:build_module Loaded L\"C:\\\\users\\\\wine\\\\x" +
           std::to_string(i) + ".dll\" at 10000000: builtin\n";
  write_file(dir / "wine.log.0", header + "INFO nivra-wine- /home/wine/.wine «x»\nno break");
  write_file(dir / "wine.log.1", header + big);
  write_file(dir / "other.log.0", "not this one");
  // What another user may plant in a shared folder is not the user's log.
  mkfifo((dir / "wine.log.2").c_str(), 0666);
  symlink("wine.log.0", (dir / "wine.log.3").c_str());
  if (geteuid() == 0) {
    write_file(dir / "wine.log.4", "planted\n");
    chown((dir / "wine.log.4").c_str(), 65534, 65534);
  }
  EXPECT_THAT(archive::log_files(dir.path(), "wine.log"), ElementsAre("wine.log.1", "wine.log.0"));
  // Choosing the log again offers what begins with its name for deletion: never the archive.
  EXPECT_THAT(archive::archive_name("wine.log", 0), Not(StartsWith("wine.log")));
  EXPECT_THAT(archive::archive_name("wine.log", 0), StartsWith("debug-wine.log-"));
  // The manual names it as it is made.
  EXPECT_THAT(read_file(source_dir() + "/docs/nivra-wine-helper.1"),
              HasSubstr(".IR folder /debug\\- name \\-\\c\n"));

  archive::progress prog;
  // Names beyond the 100 bytes of a tar header's own field.
  const std::string base = "wine.log-" + std::string(100, 'x');
  const archive::result res =
      make(dir.path(), archive::log_files(dir.path(), "wine.log"), base + ".tar.xz", &prog);
  ASSERT_EQ(res.why, archive::failure::none) << res.error;
  EXPECT_EQ(res.path, dir / (base + ".tar.xz"));
  EXPECT_DOUBLE_EQ(prog.fraction(), 1.0);

  make_dirs(dir / "out");
  ASSERT_EQ(std::system(("tar -tJf " + res.path + " > " + (dir / "list") + " && tar -xJf " +
                         res.path + " -C " + (dir / "out"))
                            .c_str()),
            0);
  EXPECT_EQ(read_file(dir / "list"),
            base + "/system.txt\n" + base + "/wine.log.1\n" + base + "/wine.log.0\n");
  for (const char *name : {"wine.log.0", "wine.log.1"}) {
    const std::string copy = read_file(dir / ("out/" + base + "/" + name));
    EXPECT_THAT(copy, Not(HasSubstr("users\\\\wine"))) << name;
    EXPECT_THAT(copy, StartsWith("sysname: Linux\nnodename: «HOST»\n")) << name;
    EXPECT_EQ(redact::restore(copy, kWho), read_file(dir / name)) << name;
  }
  const std::string facts = read_file(dir / ("out/" + base + "/system.txt"));
  EXPECT_THAT(facts, StartsWith(archive::legend()));
  EXPECT_THAT(facts, HasSubstr("Command line: wine «HOME»/a.exe\n"));
}

TEST(Archive, AFailureSaysWhatHappenedAndLeavesNoArchiveBehind) {
  TempDir dir;
  write_file(dir / "wine.log.0", "a\n");
  // A log removed after the box listed it.
  archive::result res = make(dir.path(), {"wine.log.1", "wine.log.0"});
  EXPECT_EQ(res.why, archive::failure::log_missing);
  EXPECT_EQ(res.file, "wine.log.1");
  EXPECT_THAT(folder(dir.path()), ElementsAre("wine.log.0"));
  // A folder where no file can be made, even by root.
  res = make("/sys", {});
  EXPECT_EQ(res.why, archive::failure::folder_unwritable);

  // A full disk: a small file system of its own, in a child that may mount one.
  const pid_t child = fork();
  if (child == 0) {
    if (unshare(getuid() == 0 ? CLONE_NEWNS : CLONE_NEWNS | CLONE_NEWUSER) != 0 ||
        mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=256k") != 0)
      _exit(77);
    std::mt19937 noise(1);
    std::string log;
    for (int i = 0; i < 150000; ++i)
      log += static_cast<char>(noise());
    write_file(dir / "wine.log.0", log);
    const archive::result full = make(dir.path(), {"wine.log.0"});
    _exit(full.why == archive::failure::disk_full && folder(dir.path()).size() == 1 ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  if (WEXITSTATUS(status) == 77)
    GTEST_SKIP() << "no mount namespace here for a small file system";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "a full disk is said as such and leaves only the log";
}

// The archive copies the logs: it is never readable by more people than they are, nor than the
// umask allows, and while it is written nobody else can open it.
TEST(Archive, IsNoMoreReadableThanTheLogsOrTheUmaskAllow) {
  const struct {
    mode_t umask, log, archive;
  } rows[] = {{077, 0600, 0600}, {027, 0640, 0640}, {022, 0600, 0600}, {022, 0644, 0644}};
  for (const auto &row : rows) {
    SCOPED_TRACE(std::to_string(row.umask) + "/" + std::to_string(row.log));
    TempDir dir;
    ProcResult r = run_in_child([&] {
      umask(row.umask);
      const std::string log = dir / "wine.log.0";
      write_file(log, "x\n");
      // Large enough to be seen while it is written; sparse, so quick to make.
      if (truncate(log.c_str(), 16 << 20) != 0 || chmod(log.c_str(), row.log) != 0)
        return 10;
      archive::progress prog;
      archive::result res;
      std::thread maker([&] { res = make(dir.path(), {"wine.log.0"}, "a.tar.xz", &prog); });
      mode_t temp_mode = 0;
      for (int i = 0; i < 20000 && !temp_mode; ++i) {
        std::lock_guard<std::mutex> hold(prog.temp_lock);
        struct stat st;
        if (!prog.temp.empty() && lstat(prog.temp.c_str(), &st) == 0)
          temp_mode = st.st_mode & 07777;
        else
          std::this_thread::sleep_for(std::chrono::microseconds(50));
      }
      maker.join();
      struct stat st {};
      if (res.why != archive::failure::none || stat(res.path.c_str(), &st) != 0)
        return 11;
      std::printf("temp %o archive %o\n", temp_mode, st.st_mode & 07777);
      return 0;
    });
    ASSERT_EQ(r.status, 0) << r.err;
    char expected[64];
    std::snprintf(expected, sizeof expected, "temp 600 archive %o\n", row.archive);
    EXPECT_EQ(r.out, expected);
  }
  // The mode a log of another group gives: not the archive's group.
  struct stat other {};
  other.st_mode = S_IFREG | 0640;
  other.st_gid = 4242;
  EXPECT_EQ(archive::archive_mode(027, 4243, {other}), 0600u);
}

// Whatever is at the archive's name (a link another user planted in a shared sticky folder, a
// file of the user's own) is never replaced: the next free number is taken, and where all are
// taken that is said.
TEST(Archive, ANameThatIsTakenIsNeverReplaced) {
  TempDir dir;
  chmod(dir.path().c_str(), 01777);
  const std::string name = "debug-wine.log-20261211-101010.tar.xz";
  auto plant = [&](int upto) {
    for (int n = 1; n <= upto; ++n)
      symlink("/etc/hostname", (dir / archive::numbered_name(name, n)).c_str());
  };
  EXPECT_EQ(archive::numbered_name(name, 12), "debug-wine.log-20261211-101010-12.tar.xz");
  // Planted by root, made by a user who may not move other users' entries.
  plant(11);
  ProcResult r = run_in_child(
      [&] {
        write_file(dir / "wine.log.0", "a\n");
        const archive::result res = make(dir.path(), {"wine.log.0"}, name);
        std::printf("%d %s\n", static_cast<int>(res.why), res.path.c_str());
        return 0;
      },
      geteuid() == 0);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "0 " + dir / archive::numbered_name(name, 12) + "\n");
  for (int n = 1; n <= 11; ++n) {
    char target[64] = {};
    EXPECT_GT(readlink((dir / archive::numbered_name(name, n)).c_str(), target, sizeof target), 0);
    EXPECT_STREQ(target, "/etc/hostname");
  }
  // Every name taken.
  plant(archive::kNames);
  r = run_in_child(
      [&] {
        const archive::result res = make(dir.path(), {"wine.log.0"}, name);
        std::printf("%d %s %d\n", static_cast<int>(res.why), res.file.c_str(), res.others);
        return 0;
      },
      geteuid() == 0);
  EXPECT_EQ(r.out, std::to_string(static_cast<int>(archive::failure::name_taken)) + " " + name +
                       " " + (geteuid() == 0 ? "1" : "0") + "\n");
  std::size_t hidden = 0;
  for (const auto &e : std::filesystem::directory_iterator(dir.path()))
    hidden += e.path().filename().string()[0] == '.';
  EXPECT_EQ(hidden, 0u) << "the hidden file is left";
}

// A downloaded prefix with a FIFO, a device or a link to a FIFO for its registry, and a
// probe that closes its output and never ends: the facts come at once, and "取消" stops them.
TEST(SystemFacts, APrefixOrAProbeThatWouldBlockDoesNotHoldThem) {
  TempDir dir;
  make_dirs(dir / "prefix");
  make_dirs(dir / "bin");
  ASSERT_EQ(mkfifo((dir / "prefix/system.reg").c_str(), 0644), 0);
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
  symlink((dir / "fifo").c_str(), (dir / "prefix/user.reg").c_str());
  symlink("/dev/zero", (dir / "prefix/.update-timestamp").c_str());
  write_script(dir / "bin/glxinfo",
               "echo $$ >> '" + dir / "probes" + "'; exec >&-; exec sleep 600\n");
  write_script(dir / "bin/eglinfo", "echo $$ >> '" + dir / "probes" + "'; exec sleep 600\n");
  for (bool cancelled : {false, true}) {
    SCOPED_TRACE(cancelled ? "cancelled" : "in full");
    const auto start = std::chrono::steady_clock::now();
    ProcResult r = run_in_child([&] {
      alarm(60); // a hang fails the row instead of the whole suite
      setenv("PATH", (dir / "bin:" + std::getenv("PATH")).c_str(), 1);
      const std::string prefix = dir / "prefix";
      wine_prefix = prefix.c_str();
      std::atomic<bool> cancel{false};
      std::thread stop([&] {
        if (cancelled) {
          std::this_thread::sleep_for(std::chrono::milliseconds(300));
          cancel = true;
        }
      });
      std::fputs(system_facts::collect({}, &cancel).c_str(), stdout);
      stop.join();
      return 0;
    });
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(r.status, 0) << "the facts hung: " << r.err;
    EXPECT_THAT(r.out, HasSubstr("\nPrefix architecture: unknown (no system.reg)\n"));
    EXPECT_THAT(r.out, HasSubstr("\nDPI: unknown (no user.reg)\n"));
    EXPECT_THAT(r.out, HasSubstr("\nOpenGL renderer: not read"));
    // Two probes of 5 seconds at most; cancelled, a tenth of a second each.
    EXPECT_LT(seconds, cancelled ? 2.5 : 14.0);
    std::ifstream probes(dir / "probes");
    for (int pid; probes >> pid;)
      EXPECT_TRUE(eventually([&] { return !pid_alive(pid); }, 5)) << "probe " << pid << " left";
    std::remove((dir / "probes").c_str());
  }
}

TEST(SystemFacts, ReadsTheDistributionAndThePrefixFromTheirFiles) {
  EXPECT_EQ(system_facts::distribution("NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\n"
                                       "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n"),
            "Debian GNU/Linux 12 (bookworm) [VERSION_ID 12]");
  EXPECT_EQ(system_facts::distribution("NAME=Arch\nVERSION=rolling\n"), "Arch rolling");
  const std::string system_reg =
      "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win64\n\n"
      "[Software\\\\Microsoft\\\\Windows NT\\\\CurrentVersion] 1700000000\n"
      "\"CurrentBuild\"=\"19043\"\n\"CurrentVersion\"=\"6.3\"\n\"ProductName\"=\"Windows 10 Pro\"\n"
      "\n[Software\\\\Microsoft\\\\Windows NT\\\\CurrentVersion\\\\Fonts] 1700000000\n"
      "\"ProductName\"=\"not this\"\n";
  EXPECT_EQ(system_facts::prefix_arch(system_reg), "win64");
  EXPECT_EQ(system_facts::prefix_arch("WINE REGISTRY Version 2\n"), std::nullopt);
  EXPECT_EQ(system_facts::windows_version(system_reg, ""), "Windows 10 Pro, build 19043, NT 6.3");
  EXPECT_EQ(
      system_facts::windows_version(system_reg, "[Software\\\\Wine] 1\n\"Version\"=\"win7\"\n"),
      "win7 (chosen in winecfg); registry: Windows 10 Pro, build 19043, NT 6.3");
}

} // namespace

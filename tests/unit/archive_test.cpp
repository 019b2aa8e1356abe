#include "report/archive.hpp"
#include "report/system_facts.hpp"
#include "test_support.hpp"

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <random>

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

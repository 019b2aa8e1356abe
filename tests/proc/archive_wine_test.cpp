// The archive at the end of a logged debug run, end to end: the real program and window,
// operated by the archive_driver tool, a logged run under real Wine by a user whose name is a
// common word ("wine", "file"), on a host name of the test's own (a UTS namespace), with a
// session bus on which the driver plays the file manager.
#include "report/redact.hpp"
#include "test_support.hpp"
#include "wine_env.hpp"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

// Gives the user the folders and the files of its own; hard links into the shared template
// prefix stay as they are (Wine only reads them).
void give_to(const std::string &root, uid_t uid, gid_t gid) {
  lchown(root.c_str(), uid, gid);
  for (const auto &e : fs::recursive_directory_iterator(root)) {
    struct stat st;
    if (lstat(e.path().c_str(), &st) == 0 && (S_ISDIR(st.st_mode) || st.st_nlink == 1))
      lchown(e.path().c_str(), uid, gid);
  }
}

// A user with this name, made for the test when it does not exist and removed afterwards.
class CommonWordUser {
public:
  CommonWordUser(const char *name, const std::string &home) : name_(name) {
    if (!getpwnam(name)) {
      made_ = run_process({"useradd", "-M", "-U", "-d", home, "-s", "/usr/sbin/nologin", name})
                  .status == 0;
    }
    if (const passwd *pw = getpwnam(name)) {
      uid = pw->pw_uid;
      gid = pw->pw_gid;
      pw_dir = pw->pw_dir;
    }
  }
  ~CommonWordUser() {
    if (made_)
      run_process({"userdel", name_});
  }
  uid_t uid = 0;
  gid_t gid = 0;
  std::string pw_dir;

private:
  const char *name_;
  bool made_ = false;
};

std::size_t count_of(const std::string &text, const std::string &piece) {
  std::size_t n = 0;
  for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
    ++n;
  return n;
}

struct WineRun {
  const char *name;
  const char *user, *host;
  std::vector<std::string> args; // the program and its arguments, as the helper gets them
  const char *channels;
  bool stop;   // the program does not end: its server is ended once it is loaded
  mode_t mask; // the umask of the session
  std::vector<std::string> in_originals, in_copies, never_in_copies;
  std::vector<std::string> kept; // texts that stay as often as they are there
  std::vector<std::string> facts;
};

void PrintTo(const WineRun &run, std::ostream *os) { *os << run.name; }

class ArchiveWine : public testing::TestWithParam<WineRun> {};

TEST_P(ArchiveWine, LoggedRunGivesAnArchiveWithoutTheNameOrTheHost) {
  const WineRun &run = GetParam();
  SKIP_WITHOUT_DISPLAY();
  if (geteuid() != 0)
    GTEST_SKIP() << "making a user named " << run.user
                 << " and a host name of the test's own needs root";
  TempDir dir;
  chmod(dir.path().c_str(), 0755);
  const std::string home = dir / (std::string("home/") + run.user);
  make_dirs(home + "/logs");
  CommonWordUser user(run.user, home);
  ASSERT_NE(user.uid, 0u) << "no user " << run.user;
  wine::TestPrefix prefix(home + "/.wine");
  // Debian's Wine names its server's folder here, one that root made: the user gets its own.
  std::remove((prefix / "wineserver").c_str());
  const std::string xauth = dir / "xauthority";
  // The X cookie names the host; under the new host name only a wildcard entry matches.
  if (const char *x = std::getenv("XAUTHORITY")) {
    ProcResult cookie = run_process(
        {"sh", "-c", "xauth -f \"$0\" nlist | sed 's/^..../ffff/' | xauth -f \"$1\" nmerge -", x,
         xauth});
    ASSERT_EQ(cookie.status, 0) << cookie.err;
  }
  // The user runs a copy: the build folder may be out of its reach.
  const std::string driver = tool_copy_in(dir / "app", "archive_driver");
  make_dirs(dir / "run");
  chmod((dir / "run").c_str(), 0700);
  chown((dir / "run").c_str(), user.uid, user.gid);
  give_to(dir / "home", user.uid, user.gid);
  chown(xauth.c_str(), user.uid, user.gid);

  ProcOptions o;
  o.env = wine::env_for(prefix.path());
  for (const char *name : {"DBUS_SESSION_BUS_ADDRESS", "LANGUAGE", "LC_ALL"})
    o.env[name] = std::nullopt;
  // The user's runtime folder, where the helper keeps its claim: the test's own.
  o.env["XDG_RUNTIME_DIR"] = dir / "run";
  o.env["HOME"] = home;
  o.env["USER"] = run.user;
  o.env["LOGNAME"] = run.user;
  o.env["MAIL"] = std::string("/var/mail/") + run.user;
  o.env["LANG"] = "C.UTF-8";
  o.env["XAUTHORITY"] = xauth;
  o.env["WINE_APP"] = wine::launcher();
  o.env["NO_AT_BRIDGE"] = "1";
  o.env["GSETTINGS_BACKEND"] = "memory";
  o.env["NIVRA_DRIVE_LOG"] = home + "/logs/" + run.user + ".log";
  if (run.stop)
    o.env["NIVRA_DRIVE_STOP"] = "1";
  o.env["NIVRA_DRIVE_CHANNELS"] = run.channels;
  o.cwd = home;
  o.timeout_s = 240;
  char mask[8];
  std::snprintf(mask, sizeof mask, "%03o", run.mask);
  const std::string as_user =
      std::string("umask ") + mask + " && exec setpriv --reuid=" + std::to_string(user.uid) +
      " --regid=" + std::to_string(user.gid) + " --init-groups dbus-run-session -- \"$0\" \"$@\"";
  std::vector<std::string> argv = {
      "unshare", "--uts", "sh", "-c", std::string("hostname ") + run.host + " && " + as_user,
      driver};
  argv.insert(argv.end(), run.args.begin(), run.args.end());
  ProcResult r = run_process(argv, o);
  run_process({"setpriv", "--reuid=" + std::to_string(user.uid),
               "--regid=" + std::to_string(user.gid), "--init-groups", "wineserver", "-k"},
              o);
  ASSERT_FALSE(r.timed_out) << r.err;

  std::vector<std::string> archives, logs;
  for (const auto &e : fs::directory_iterator(home + "/logs")) {
    const std::string name = e.path().filename();
    (name.ends_with(".tar.xz") ? archives : logs).push_back(name);
  }
  ASSERT_EQ(archives.size(), 1u) << r.out << r.err;
  EXPECT_THAT(r.err, HasSubstr("driver: shown file://" + home + "/logs/" + archives[0] + "\n"));
  // Never readable by more people than the logs are.
  struct stat st {};
  ASSERT_EQ(stat((home + "/logs/" + archives[0]).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u & ~run.mask);
  const std::string base = archives[0].substr(0, archives[0].size() - 7);
  ASSERT_EQ(run_process({"tar", "-xJf", home + "/logs/" + archives[0], "-C", dir.path()}).status,
            0);

  const redact::identity who{run.user, {home, user.pw_dir}, run.host};
  std::string originals, copies;
  for (const std::string &name : logs) {
    SCOPED_TRACE(name);
    const std::string original = read_file(home + "/logs/" + name);
    const std::string copy = read_file(dir / (base + "/" + name));
    originals += original;
    copies += copy;
    EXPECT_EQ(redact::restore(copy, who), original);
    EXPECT_THAT(copy, HasSubstr("nodename: «HOST»\n"));
    EXPECT_THAT(copy, Not(HasSubstr(home)));
    // The name that is also a word stays where it is not the name.
    for (const std::string &text : run.kept)
      EXPECT_EQ(count_of(copy, text), count_of(original, text)) << text;
  }
  EXPECT_THAT(originals, HasSubstr(std::string("nodename: ") + run.host + "\n"));
  for (const std::string &text : run.in_originals)
    EXPECT_THAT(originals, HasSubstr(text));
  for (const std::string &text : run.in_copies)
    EXPECT_THAT(copies, HasSubstr(text));
  for (const std::string &as_itself : run.never_in_copies)
    EXPECT_THAT(copies, Not(HasSubstr(as_itself)));

  const std::string facts = read_file(dir / (base + "/system.txt"));
  EXPECT_THAT(facts, Not(HasSubstr(std::string("nodename: ") + run.host)));
  EXPECT_THAT(facts, Not(HasSubstr(home)));
  EXPECT_THAT(facts, HasSubstr("«USER»  the user's name\n"));
  EXPECT_THAT(facts, HasSubstr("Not taken out: IP addresses, the machine id"));
  for (const char *fact :
       {"\nDistribution: ", "\nKernel: Linux ", "\nKernel runs 32-bit programs: ", "\nWine: wine-",
        "\nWine 32-bit half installed: ", "\nPrefix: «HOME»/.wine\n", "\nPrefix architecture: win",
        "\nWindows version: Microsoft Windows ", "\nDPI: ", "\nLocale: LANG=C.UTF-8",
        "\nSession type: ", "(the helper's display: X11", "\nDesktop: ", "\nOpenGL renderer: "})
    EXPECT_THAT(facts, HasSubstr(fact));
  for (const std::string &fact : run.facts)
    EXPECT_THAT(facts, HasSubstr(fact));
}

INSTANTIATE_TEST_SUITE_P(
    Programs, ArchiveWine,
    testing::Values(
        // +file shows the paths notepad opens, in Windows and in Unix form.
        WineRun{"NotepadAsUserWine",
                "wine",
                "mossy-hollow",
                {"notepad.exe", "C:\\users\\wine\\Desktop\\notes.txt"},
                "+loaddll,+file",
                true,
                022,
                {"notepad.exe"},
                {"C:\\\\users\\\\«USER»\\\\Desktop\\\\notes.txt", "«HOME»/.wine"},
                {"users\\wine", "users\\\\wine", "users/wine", "home/wine", "mossy-hollow"},
                {"nivra-wine- ", "winex11"},
                {"\nWINEDEBUG: +loaddll,+file\n",
                 "notepad.exe \"C:\\users\\«USER»\\Desktop\\notes.txt\" 2>&1\n"}},
        // What Wine prints of the user and the host: cmd's environment and hostname.exe, by a
        // user named "file" whose +file traces must stay, under a private umask.
        WineRun{"CmdSetAndHostnameAsUserFile",
                "file",
                "vm",
                {"cmd.exe", "/c", "set", "&", "hostname.exe"},
                "+file",
                false,
                077,
                // +file traces come between what cmd prints and its line ends.
                {"COMPUTERNAME=VM", "USERNAME=file", "HOMEPATH=\\users\\file", "LOGONSERVER=\\\\VM",
                 "\nVM", "trace:file:"},
                {"COMPUTERNAME=«HOST:UPPER»", "USERDOMAIN=«HOST:UPPER»",
                 "LOGONSERVER=\\\\«HOST:UPPER»", "USERNAME=«USER»", "\nUSER=«USER»",
                 "LOGNAME=«USER»", "WINEUSERNAME=«USER»", "MAIL=/var/mail/«USER»",
                 "HOMEPATH=\\users\\«USER»", "USERPROFILE=C:\\users\\«USER»", "\n«HOST:UPPER»"},
                {"=file", "=VM", "\\\\VM", "users\\file", "users\\\\file", "home\\file",
                 "home\\\\file", "/mail/file", "\nVM"},
                {"trace:file:", " file ", "nivra-wine- "},
                {"\nWINEDEBUG: +file\n"}}),
    [](const testing::TestParamInfo<WineRun> &info) { return std::string(info.param.name); });

// The step around the archive through the real window, without Wine: what goes wrong is said,
// "取消" closes the progress box at once whatever the worker is stuck on, and nothing is left.
TEST(ArchiveBox, WhatGoesWrongIsSaidAndNothingIsLeft) {
  SKIP_WITHOUT_DISPLAY();
  struct Row {
    const char *name;
    std::map<std::string, std::optional<std::string>> env;
    std::vector<std::string> err; // lines expected on standard error
    std::function<void(const std::string &dir)> prepare;
    std::function<void(const std::string &dir, const std::string &err)> check;
  };
  auto only_the_log = [](const std::string &dir, const std::string &) {
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(dir + "/logs"))
      names.push_back(e.path().filename());
    EXPECT_THAT(names, ElementsAre("app.log.0")) << "no archive, no hidden file";
  };
  const std::vector<Row> rows = {
      {"a log removed before the archive is made",
       {{"NIVRA_DRIVE_REMOVE", "1"}},
       {"错误：无法打包日志：日志文件 app.log.0 已不存在。\n",
        "driver: error [无法打包日志|日志文件 app.log.0 已不存在。]\n"},
       nullptr,
       [](const std::string &dir, const std::string &) {
         EXPECT_TRUE(fs::is_empty(dir + "/logs")) << "no archive, no temporary file";
       }},
      {"the same in English",
       {{"NIVRA_DRIVE_REMOVE", "1"}, {"LANG", "en_US.UTF-8"}},
       {"driver: error [The logs could not be archived|The log file app.log.0 no longer "
        "exists.]\n"},
       nullptr,
       nullptr},
      {"a prefix with FIFOs and a probe that never ends, cancelled",
       {{"NIVRA_DRIVE_CANCEL", "1"}},
       {"driver: cancelled, the box closed after "},
       [](const std::string &dir) {
         make_dirs(dir + "/prefix");
         make_dirs(dir + "/bin");
         mkfifo((dir + "/prefix/system.reg").c_str(), 0644);
         mkfifo((dir + "/fifo").c_str(), 0644);
         symlink((dir + "/fifo").c_str(), (dir + "/prefix/user.reg").c_str());
         symlink("/dev/zero", (dir + "/prefix/.update-timestamp").c_str());
         for (const char *tool : {"glxinfo", "eglinfo", "dpkg-query"})
           write_script(dir + "/bin/" + tool, "echo $$ >> '" + dir + "/probes'; exec sleep 600\n");
       },
       [&](const std::string &dir, const std::string &err) {
         const std::size_t at = err.find("the box closed after ");
         ASSERT_NE(at, std::string::npos);
         EXPECT_LT(std::stoi(err.substr(at + 21)), 1000) << "取消 waited for the worker";
         only_the_log(dir, err);
         std::ifstream probes(dir + "/probes");
         for (int pid; probes >> pid;)
           EXPECT_TRUE(eventually([&] { return !pid_alive(pid); }, 5))
               << "probe " << pid << " left";
       }},
      {"neither a file manager nor a folder opener: a box names the archive",
       {},
       {"警告：无法打开文件夹 "},
       nullptr,
       [](const std::string &dir, const std::string &err) {
         const std::size_t at = err.find("driver: saved " + dir + "/logs/debug-app.log-");
         ASSERT_NE(at, std::string::npos) << err;
         const std::string path = err.substr(at + 14, err.find('\n', at) - at - 14);
         EXPECT_TRUE(exists(path)) << path;
       }},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    make_dirs(dir / "logs");
    make_dirs(dir / "run");
    chmod((dir / "run").c_str(), 0700);
    if (row.prepare)
      row.prepare(dir.path());
    ProcOptions o;
    o.env = {{"HOME", dir.path()},
             {"WINEPREFIX", dir / "prefix"},
             {"WINE_APP", "/bin/echo"},
             {"LANG", "C.UTF-8"},
             {"LANGUAGE", std::nullopt},
             {"LC_ALL", std::nullopt},
             {"NO_AT_BRIDGE", "1"},
             {"GSETTINGS_BACKEND", "memory"},
             {"PATH", dir / "bin:" + std::getenv("PATH")},
             {"NIVRA_DRIVE_LOG", dir / "logs/app.log"},
             {"NIVRA_DRIVE_CMDLINE", "echo started"},
             {"DBUS_SESSION_BUS_ADDRESS", std::nullopt},
             // Private and without a bus in it: the claim goes there, no file manager answers.
             {"XDG_RUNTIME_DIR", dir / "run"}};
    for (const auto &[name, value] : row.env)
      o.env[name] = value;
    ProcResult r = run_process({tool_path("archive_driver"), "app.exe"}, o);
    ASSERT_FALSE(r.timed_out) << r.err;
    for (const std::string &line : row.err)
      EXPECT_THAT(r.err, HasSubstr(line));
    if (row.check)
      row.check(dir.path(), r.err);
  }
}

} // namespace

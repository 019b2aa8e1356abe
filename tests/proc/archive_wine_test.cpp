// The archive at the end of a logged debug run, end to end: the real program and window,
// operated by the archive_driver tool, a logged notepad run with +loaddll under real Wine,
// by a user whose name is a common word ("wine"), on a host name of the test's own (a UTS
// namespace), with a session bus on which the driver plays the file manager.
#include "report/redact.hpp"
#include "test_support.hpp"
#include "wine_env.hpp"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

constexpr char kUser[] = "wine";
constexpr char kHost[] = "mossy-hollow";

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

// The user "wine", made for the test when it does not exist and removed afterwards.
class CommonWordUser {
public:
  explicit CommonWordUser(const std::string &home) {
    if (!getpwnam(kUser)) {
      made_ = run_process({"useradd", "-M", "-U", "-d", home, "-s", "/usr/sbin/nologin", kUser})
                  .status == 0;
    }
    if (const passwd *pw = getpwnam(kUser)) {
      uid = pw->pw_uid;
      gid = pw->pw_gid;
      pw_dir = pw->pw_dir;
    }
  }
  ~CommonWordUser() {
    if (made_)
      run_process({"userdel", kUser});
  }
  uid_t uid = 0;
  gid_t gid = 0;
  std::string pw_dir;

private:
  bool made_ = false;
};

std::size_t count_of(const std::string &text, const std::string &piece) {
  std::size_t n = 0;
  for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
    ++n;
  return n;
}

TEST(ArchiveWine, NotepadLoggedByUserWineGivesAnArchiveWithoutTheNameOrTheHost) {
  SKIP_WITHOUT_DISPLAY();
  if (geteuid() != 0)
    GTEST_SKIP() << "making a user named wine and a host name of the test's own needs root";
  TempDir dir;
  chmod(dir.path().c_str(), 0755);
  const std::string home = dir / "home/wine";
  make_dirs(home + "/logs");
  CommonWordUser user(home);
  ASSERT_NE(user.uid, 0u) << "no user " << kUser;
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
  give_to(dir / "home", user.uid, user.gid);
  chown(xauth.c_str(), user.uid, user.gid);

  ProcOptions o;
  o.env = wine::env_for(prefix.path());
  for (const char *name : {"XDG_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS", "LANGUAGE", "LC_ALL"})
    o.env[name] = std::nullopt;
  o.env["HOME"] = home;
  o.env["USER"] = kUser;
  o.env["LANG"] = "C.UTF-8";
  o.env["XAUTHORITY"] = xauth;
  o.env["WINE_APP"] = wine::launcher();
  o.env["NO_AT_BRIDGE"] = "1";
  o.env["GSETTINGS_BACKEND"] = "memory";
  o.env["NIVRA_DRIVE_LOG"] = home + "/logs/wine.log";
  o.env["NIVRA_DRIVE_STOP"] = "1";
  // +file shows the paths notepad opens, in Windows and in Unix form.
  o.env["NIVRA_DRIVE_CHANNELS"] = "+loaddll,+file";
  o.cwd = home;
  o.timeout_s = 240;
  // The user runs a copy: the build folder may be out of its reach.
  const std::string driver = tool_copy_in(dir / "app", "archive_driver");
  const std::string as_user = "exec setpriv --reuid=" + std::to_string(user.uid) +
                              " --regid=" + std::to_string(user.gid) +
                              " --init-groups dbus-run-session -- \"$0\" \"$@\"";
  ProcResult r = run_process({"unshare", "--uts", "sh", "-c",
                              std::string("hostname ") + kHost + " && " + as_user, driver,
                              "notepad.exe", "C:\\users\\wine\\Desktop\\notes.txt"},
                             o);
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
  const std::string base = archives[0].substr(0, archives[0].size() - 7);
  ASSERT_EQ(run_process({"tar", "-xJf", home + "/logs/" + archives[0], "-C", dir.path()}).status,
            0);

  const redact::identity who{kUser, {home, user.pw_dir}, kHost};
  std::string originals, copies;
  for (const std::string &name : logs) {
    SCOPED_TRACE(name);
    const std::string original = read_file(home + "/logs/" + name);
    const std::string copy = read_file(dir / (base + "/" + name));
    originals += original;
    copies += copy;
    EXPECT_EQ(redact::restore(copy, who), original);
    EXPECT_THAT(copy, HasSubstr("nodename: «HOST»\n"));
    EXPECT_THAT(copy, Not(HasSubstr(kHost)));
    EXPECT_THAT(copy, Not(HasSubstr(home)));
    // The name that is also a word stays where it is not the name.
    EXPECT_EQ(count_of(copy, "nivra-wine- "), count_of(original, "nivra-wine- "));
    EXPECT_EQ(count_of(copy, "winex11"), count_of(original, "winex11"));
  }
  EXPECT_THAT(originals, HasSubstr("nodename: mossy-hollow\n"));
  EXPECT_THAT(originals, HasSubstr("notepad.exe"));
  EXPECT_THAT(copies, HasSubstr("C:\\\\users\\\\«USER»\\\\Desktop\\\\notes.txt"));
  EXPECT_THAT(copies, HasSubstr("«HOME»/.wine"));
  for (const char *as_itself : {"users\\wine", "users\\\\wine", "users/wine", "home/wine"})
    EXPECT_THAT(copies, Not(HasSubstr(as_itself)));

  const std::string facts = read_file(dir / (base + "/system.txt"));
  EXPECT_THAT(facts, Not(HasSubstr(kHost)));
  EXPECT_THAT(facts, Not(HasSubstr(home)));
  EXPECT_THAT(facts, HasSubstr("«USER»  the user's name\n"));
  for (const char *fact :
       {"\nDistribution: ", "\nKernel: Linux ", "\nKernel runs 32-bit programs: ", "\nWine: wine-",
        "\nWine 32-bit half installed: ", "\nPrefix: «HOME»/.wine\n", "\nPrefix architecture: win",
        "\nWindows version: Microsoft Windows ", "\nDPI: ", "\nLocale: LANG=C.UTF-8",
        "\nSession type: ", "(the helper's display: X11",
        "\nDesktop: ", "\nOpenGL renderer: ", "\nWINEDEBUG: +loaddll,+file\n",
        "notepad.exe \"C:\\users\\«USER»\\Desktop\\notes.txt\" 2>&1\n"})
    EXPECT_THAT(facts, HasSubstr(fact));
}

TEST(ArchiveBox, ALogRemovedBeforeTheArchiveIsMadeIsSaidInABoxAndNothingIsLeft) {
  SKIP_WITHOUT_DISPLAY();
  TempDir dir;
  make_dirs(dir / "logs");
  ProcOptions o;
  o.env = {{"HOME", dir.path()},
           {"WINEPREFIX", dir / "prefix"},
           {"WINE_APP", "/bin/echo"},
           {"LANG", "C.UTF-8"},
           {"NO_AT_BRIDGE", "1"},
           {"GSETTINGS_BACKEND", "memory"},
           {"NIVRA_DRIVE_LOG", dir / "logs/app.log"},
           {"NIVRA_DRIVE_CMDLINE", "echo started"},
           {"NIVRA_DRIVE_REMOVE", "1"},
           {"DBUS_SESSION_BUS_ADDRESS", std::nullopt}};
  ProcResult r = run_process({tool_path("archive_driver"), "app.exe"}, o);
  ASSERT_FALSE(r.timed_out) << r.err;
  EXPECT_THAT(r.err, HasSubstr("错误：无法打包日志：日志文件 app.log.0 已不存在。\n"));
  EXPECT_THAT(r.err, HasSubstr("driver: error [无法打包日志|日志文件 app.log.0 已不存在。]\n"));
  EXPECT_TRUE(std::filesystem::is_empty(dir / "logs")) << "no archive, no temporary file";
}

} // namespace

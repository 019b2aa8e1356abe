// nivra-wine-start: the helper or the launcher by the flag file, with the
// arguments, environment and exit status passing through unchanged; and the
// whole round through the real window and real Wine.
#include "test_support.hpp"
#include "wine_env.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

using namespace testsupport;

namespace {

const std::string kStarter = std::string(NIVRA_STAGE_DIR) + "/bin/nivra-wine-start";
const std::string kFolder = "<folder>";
const char *const kHome = "<home>";
using Args = std::vector<std::string>;
const Args kProgram = {"C:\\Program Files\\a b\\setup.exe", "it's \"q\" $HOME `id`", "\xff\xfe",
                       ""};

Args operator+(Args head, const Args &tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

struct Row {
  const char *name;
  std::optional<std::string> flag; // content, kFolder, or none
  Args argv;
  std::string ran; // the stand-in that must run, or none
  Args passed;
  int status;
  std::string err = "";
  bool locked = false;
  std::optional<std::string> wine_app = std::nullopt;
  const char *home = kHome; // the test's home, nullptr for unset, or this text
};

// Laid out as installed: bin/ holds the starter and a link to the helper in
// lib/, where the default launcher sits. Each stand-in prints its name, pid,
// WINEPREFIX and arguments and ends with a status of its own. The current
// folder holds decoys that must never run.
TEST(StarterChoice, FlagFileDecidesAndEverythingPassesThrough) {
  TempDir dir;
  chmod(dir.path().c_str(), 0755);
  for (const char *sub : {"bin", "lib", "cwd", "other"})
    make_dirs(dir / sub);
  std::filesystem::copy_file(kStarter, dir / "bin/nivra-wine-start");
  ASSERT_EQ(symlink("../lib/nivra-wine-helper", (dir / "bin/nivra-wine-helper").c_str()), 0);
  ASSERT_EQ(symlink("../bin/nivra-wine-start", (dir / "other/start").c_str()), 0);
  const struct {
    std::string path, name, status;
  } stand_ins[] = {{"lib", "nivra-wine-helper", "41"},
                   {"lib", "nivra-wine-internal", "42"},
                   {".", "wine-app", "43"},
                   {"cwd", "nivra-wine-helper", "44"},
                   {"cwd", "nivra-wine-internal", "45"}};
  for (const auto &s : stand_ins)
    write_script(dir / (s.path + "/" + s.name), "printf 'ran " + s.name +
                                                    " %s %s' $$ \"$WINEPREFIX\"\n"
                                                    "printf ' <%s>' \"$@\"\nexit " +
                                                    s.status + "\n");

  const Args P = kProgram, A = {"--show-again"};
  const std::string usage = "usage: nivra-wine-start [--helper] [--] PROGRAM";
  const Row rows[] = {
      {"fresh account", std::nullopt, P, "nivra-wine-helper", P, 41},
      {"ticked", "0", P, "nivra-wine-internal", P, 42},
      {"ticked, by echo", "0\n", P, "nivra-wine-internal", P, 42},
      {"not ticked", "1", P, "nivra-wine-helper", P, 41},
      {"empty", "", P, "nivra-wine-helper", P, 41},
      {"more than one line feed", "0\n\n", P, "nivra-wine-helper", P, 41},
      {"a folder in its place", kFolder, P, "nivra-wine-helper", P, 41},
      {"unreadable", "0", P, "nivra-wine-helper", P, 41, "", true},
      {"HOME unset", "0", P, "nivra-wine-helper", P, 41, "", false, std::nullopt, nullptr},
      // The current folder is cwd/: a relative HOME names the test's home.
      {"HOME relative", "0", P, "nivra-wine-helper", P, 41, "", false, std::nullopt, "../home"},
      {"HOME empty", std::nullopt, P, "nivra-wine-helper", P, 41, "", false, std::nullopt, ""},
      {"--helper --", "0", {"--helper", "--", "-x.exe"}, "nivra-wine-helper", {"-x.exe"}, 41},
      {"WINE_APP", "0", P, "wine-app", P, 43, "", false, dir / "wine-app"},
      {"WINE_APP missing", "0", P, "", {}, 127, "launcher", false, dir / "none"},
      {"WINE_APP empty", "0", P, "nivra-wine-internal", P, 42, "", false, ""},
      {"WINE_APP a folder", "0", P, "", {}, 126, "launcher", false, dir / "lib"},
      {"no program", "1", {}, "", {}, 2, usage},
      {"unknown option", "1", Args{"--x"} + P, "", {}, 2, "unknown option --x\n" + usage},
      {"--show-again", "0", {"--show-again"}, "", {}, 0},
      {"--show-again, fresh account", std::nullopt, {"--show-again"}, "", {}, 0},
      {"--show-again, HOME relative", std::nullopt, A, "", {}, 1, "absolute", false, {}, "../home"},
      {"--show-again, HOME empty", std::nullopt, A, "", {}, 1, "absolute", false, {}, ""},
      {"--show-again with more", "0", {"--show-again", "x"}, "", {}, 2, usage},
  };
  // The desktop notices; no other row leaves one.
  const std::string again = "下次打开 Windows 程序时会先显示本窗口。";
  const std::string no_home = "HOME 未设置或不是绝对路径，无法写入设置";
  const std::map<std::string, std::string> notices = {
      {"WINE_APP missing", "无法启动 Wine 启动器 " + dir / "none" + "：文件不存在"},
      {"WINE_APP a folder", "无法启动 Wine 启动器 " + dir / "lib" + "：不是可执行文件"},
      {"--show-again", again},
      {"--show-again, fresh account", again},
      {"--show-again, HOME relative", no_home},
      {"--show-again, HOME empty", no_home}};
  const std::string flag = dir / "home/.config/nivra-wine/enable_wine_start_helper";
  // Stands in for notify-send on a session bus, noting the notice's text.
  make_dirs(dir / "notify");
  write_script(dir / "notify/notify-send",
               "for a; do n=$a; done; printf %s \"$n\" > '" + dir / "notice" + "'\n");
  const bool root_config = exists("/.config");
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    remove_tree(dir / "home");
    make_dirs(dir / "home");
    if (row.flag == kFolder) {
      make_dirs(flag);
    } else if (row.flag) {
      make_dirs(dir / "home/.config/nivra-wine");
      write_file(flag, *row.flag);
      chmod(flag.c_str(), row.locked ? 0000 : 0644);
    }
    // Root reads every file: the unreadable row runs as nobody.
    Args argv{dir / "other/start"};
    if (row.locked && geteuid() == 0)
      argv = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", argv[0]};
    ProcOptions o;
    o.cwd = dir / "cwd";
    const bool absolute_home = row.home == kHome;
    std::optional<std::string> home;
    if (row.home)
      home = absolute_home ? dir / "home" : row.home;
    o.env = {{"HOME", home},
             {"WINE_APP", row.wine_app},
             {"WINEPREFIX", "/tmp/p f'x"},
             {"PATH", dir / "notify:" + std::getenv("PATH")},
             {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + dir / "no-bus"},
             {"XDG_RUNTIME_DIR", std::nullopt}};
    remove_tree(dir / "notice");
    int pid = 0;
    o.ctx = &pid;
    o.while_running = [](int child, void *ctx) { *static_cast<int *>(ctx) = child; };
    ProcResult r = run_process(argv + row.argv, o);
    EXPECT_EQ(r.status, row.status) << r.err;
    EXPECT_THAT(r.err, HasSubstr(row.err));
    if (row.ran.empty()) {
      EXPECT_THAT(r.out, Not(HasSubstr("ran ")));
    } else {
      // The same pid: the starter replaced itself.
      std::string want = "ran " + row.ran + " " + std::to_string(pid) + " /tmp/p f'x";
      for (const std::string &arg : row.passed)
        want += " <" + arg + ">";
      EXPECT_EQ(r.out, want);
    }
    auto notice = notices.find(row.name);
    EXPECT_EQ(read_file(dir / "notice"), notice == notices.end() ? "" : notice->second);
    if (row.ran == "nivra-wine-helper" && absolute_home && row.flag != kFolder) {
      EXPECT_TRUE(exists(dir / "home/.config/nivra-wine")) << "made for the helper's choice";
    } else if (!absolute_home && !row.flag) {
      EXPECT_FALSE(exists(dir / "home/.config")) << "made under the current folder";
    }
    if (!root_config && exists("/.config")) {
      ADD_FAILURE() << "made /.config";
      remove_tree("/.config");
    }
    if (row.argv == Args{"--show-again"} && row.status == 0) {
      EXPECT_EQ(read_file(flag), "1");
    } else if (row.flag && row.flag != kFolder && !row.locked) {
      EXPECT_EQ(read_file(flag), *row.flag);
    }
  }
}

// The notice of --show-again in the desktop's language, from the stage's catalogue, and as
// written where gettext is not installed.
TEST(StarterNotice, InTheDesktopsLanguage) {
  TempDir dir;
  make_dirs(dir / "bin");
  make_dirs(dir / "bare");
  write_script(dir / "bin/notify-send", "printf '<%s>' \"$@\" >\"$NOTICE\"\n");
  for (const char *tool : {"readlink", "mkdir"})
    ASSERT_EQ(symlink(("/usr/bin/" + std::string(tool)).c_str(), (dir / "bare/" + tool).c_str()),
              0);
  ASSERT_EQ(symlink((dir / "bin/notify-send").c_str(), (dir / "bare/notify-send").c_str()), 0);
  const std::string path = dir / "bin:" + std::getenv("PATH");
  const std::string flag = dir / "home/.config/nivra-wine/enable_wine_start_helper";
  const std::string head = "<-i><nivra-wine-helper><-a>";
  const std::string chinese =
      head + "<wine辅助程序><wine辅助程序><下次打开 Windows 程序时会先显示本窗口。>";
  const struct {
    const char *locale;
    std::string path;
    bool writable;
    std::string notice;
    const char *wine_app = nullptr; // set: the flag says 0 and this launcher is missing
  } rows[] = {
      {"C.UTF-8", path, true, chinese},
      {"en_US.UTF-8", path, true,
       head + "<Wine Helper><Wine Helper><The helper's window will show the next time you open a "
              "Windows program.>"},
      {"en_US.UTF-8", dir / "bare", true, chinese}, // no gettext
      {"C.UTF-8", path, false, head + "<wine辅助程序><wine辅助程序><无法写入 " + flag + ">"},
      {"en_US.UTF-8", path, false, head + "<Wine Helper><Wine Helper><Cannot write " + flag + ">"},
      {"en_US.UTF-8", path, true,
       head + "<Wine Helper><Wine Helper><Cannot start the Wine launcher /no/wine: no such file>",
       "/no/wine"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(std::string(row.locale) + " " + row.path);
    remove_tree(dir / "home");
    make_dirs(row.writable ? dir / "home" : flag); // a folder in the file's place
    if (row.wine_app) {
      make_dirs(dir / "home/.config/nivra-wine");
      write_file(flag, "0");
    }
    ProcOptions o;
    o.env = {{"LC_ALL", row.locale},
             {"HOME", dir / "home"},
             {"PATH", row.path},
             {"NOTICE", dir / "notice"},
             {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + dir / "no-bus"}};
    if (row.wine_app)
      o.env["WINE_APP"] = row.wine_app;
    ProcResult r =
        run_process(row.wine_app ? Args{kStarter, "x.exe"} : Args{kStarter, "--show-again"}, o);
    EXPECT_EQ(r.status, row.wine_app ? 127 : row.writable ? 0 : 1) << r.err;
    EXPECT_EQ(read_file(dir / "notice"), row.notice);
  }
}

// The round a user makes from the desktop, with the real helper, its window
// operated from outside by key presses, and real Wine.
TEST(StarterEndToEnd, DoNotShowAgainSkipsTheWindowUntilTheHelperComesBack) {
  SKIP_WITHOUT_DISPLAY();
  TempDir dir;
  wine::TestPrefix prefix(dir / "prefix");
  make_dirs(dir / "home");
  const std::string flag = dir / "home/.config/nivra-wine/enable_wine_start_helper";
  // "确定" holds the focus, and turns green as the default, once the window has
  // settled; "不再提示", ticked at first, is just before it.
  const std::string settled = "#4CAF50";
  const struct {
    const char *what;
    Args head, window; // xwin's command, then what follows the title
    int shown;         // xwin's status: 0 the window was there, 2 it never came
    std::string flag;
    bool runs;
  } steps[] = {
      {"fresh account, 确定", {}, {"key", "30000", settled, "Return"}, 0, "0", true},
      {"ticked: no window", {}, {"wait", "3000"}, 2, "0", true},
      {"--helper, unticked",
       {"--helper"},
       {"key", "30000", settled, "shift+Tab", "space", "Tab", "Return"},
       0,
       "1",
       true},
      {"shown again, closed", {}, {"close", "30000"}, 0, "1", false},
  };
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    const auto &step = steps[i];
    SCOPED_TRACE(step.what);
    const std::string mark = "step" + std::to_string(i) + ".txt";
    struct {
      Args xwin;
      int status = -1;
    } window{Args{tool_path("xwin"), step.window[0], "wine辅助程序"} +
             Args(step.window.begin() + 1, step.window.end())};
    ProcOptions o;
    o.env = wine::env_for(prefix.path());
    o.env["HOME"] = dir / "home";
    o.env["WINE_APP"] = std::nullopt;
    // Without a bus of the test's own, GTK would start one that outlives it.
    o.env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + dir / "no-bus";
    o.env["NO_AT_BRIDGE"] = "1";
    o.timeout_s = 120;
    o.ctx = &window;
    o.while_running = [](int, void *ctx) {
      auto *w = static_cast<decltype(window) *>(ctx);
      w->status = run_process(w->xwin).status;
    };
    ProcResult r = run_process(
        Args{kStarter} + step.head + Args{"cmd.exe", "/c", "echo", "x", ">", "C:\\" + mark}, o);
    EXPECT_EQ(window.status, step.shown);
    EXPECT_EQ(r.status, 0) << r.err;
    if (step.shown == 0)
      EXPECT_THAT(r.out, HasSubstr("sys:")) << "the helper did not run";
    else
      EXPECT_THAT(r.out, Not(HasSubstr("sys:"))) << "the helper ran";
    EXPECT_EQ(read_file(flag), step.flag);
    const std::string file = prefix / ("drive_c/" + mark);
    EXPECT_EQ(eventually([&] { return exists(file); }, step.runs ? 90 : 0), step.runs);
  }
}

} // namespace

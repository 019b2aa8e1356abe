// The confirm action end to end: the real program and window, operated from
// inside by the confirm_driver tool, with real Wine or a launcher script.
#include "test_support.hpp"
#include "wine_env.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace testsupport;

namespace {

const std::string kDesktop = "[Control Panel\\\\Desktop] 1\n";

std::size_t count_of(const std::string &text, const std::string &piece) {
  std::size_t n = 0;
  for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
    ++n;
  return n;
}

// The LogPixels line of the [Control Panel\\Desktop] section of a user.reg,
// or empty.
std::string desktop_logpixels(const std::string &user_reg) {
  std::string text = read_file(user_reg);
  std::size_t at = text.find("[Control Panel\\\\Desktop]");
  if (at == std::string::npos)
    return {};
  std::size_t end = text.find("\n[", at);
  std::string section = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
  std::size_t line = section.find("\"LogPixels\"=");
  if (line == std::string::npos)
    return {};
  return section.substr(line, section.find('\n', line) - line);
}

// Once the prefix's Windows processes have stopped coming and going (Wine
// starts its services, and a program its windows, over a few seconds).
void settle(const std::string &prefix) {
  std::vector<int> last;
  for (int i = 0, stable = 0; i < 300 && stable < 20; ++i) {
    std::vector<int> now = wine::windows_pids(prefix);
    stable = now == last ? stable + 1 : 0;
    last = now;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

// The pid of a Windows process of prefix whose command line holds name, once
// the prefix has settled; -1 if none.
int settled_pid(const std::string &prefix, const std::string &name) {
  auto find = [&] {
    for (int pid : wine::windows_pids(prefix))
      if (wine::command_line(pid).find(name) != std::string::npos)
        return pid;
    return -1;
  };
  if (!eventually([&] { return find() > 0; }, 120))
    return -1;
  settle(prefix);
  return find();
}

class ConfirmTest : public testing::Test {
protected:
  void SetUp() override {
    SKIP_WITHOUT_DISPLAY();
    make_dirs(dir / "home/.config/nivra-wine");
  }

  ProcOptions options(const std::string &prefix, const std::string &launcher) {
    ProcOptions o;
    o.env = wine::env_for(prefix);
    o.env["HOME"] = dir / "home";
    o.env["WINE_APP"] = launcher;
    o.env["MULTI_THREAD_NUM"] = std::nullopt;
    o.env["NIVRA_DRIVE_DPI"] = std::nullopt;
    o.env["NIVRA_DRIVE_NO_PROMPT"] = std::nullopt;
    // No accessibility bridge: these runs do not need it, and with it GTK's
    // start waits on whatever accessibility bus the shared X display offers.
    o.env["NO_AT_BRIDGE"] = "1";
    o.cwd = dir.path();
    o.timeout_s = 120;
    return o;
  }

  ProcResult drive(const std::vector<std::string> &args, const ProcOptions &o) {
    std::vector<std::string> argv{tool_path("confirm_driver")};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv, o);
  }

  std::string flag() { return read_file(dir / "home/.config/nivra-wine/enable_wine_start_helper"); }

  // A launcher that answers --version, notes every reg command, and records
  // any other command line as the started program. With write_reg its reg
  // stores the value in user.reg as Wine would; without it reg changes nothing.
  std::string script_launcher(bool write_reg) {
    std::string reg = note_args(dir / "reg-log", true);
    if (write_reg)
      reg += "; " + store_dpi("\"$WINEPREFIX/user.reg\"");
    write_launcher(
        dir / "launcher",
        {{"--version", "echo wine-test"}, {"reg", reg}, {"*", note_args(dir / "started", false)}});
    return dir / "launcher";
  }

  TempDir dir;
};

TEST_F(ConfirmTest, UnchangedDpiStartsTheProgramUnderWineAndExitsAtOnce) {
  wine::TestPrefix prefix(dir / "prefix");
  std::string before = desktop_logpixels(prefix / "user.reg");
  // wine prefers its 32-bit loader once wine32 is there, and that one hands
  // 64-bit programs on; a program named without a path is taken from syswow64.
  // Where the kernel runs no 32-bit programs the set-up leaves wine32 out, and
  // wine then rightly says that it is missing.
  const bool runs_32bit = wine::kernel_runs_32bit();
  std::filesystem::copy_file(prefix / "drive_c/windows/system32/cmd.exe",
                             prefix / "drive_c/cmd64.exe");
  const struct {
    std::string program, arch;
  } rows[] = {{"C:\\windows\\syswow64\\cmd.exe", "x86"}, {"C:\\cmd64.exe", "AMD64"}};
  for (const auto &row : rows) {
    SCOPED_TRACE(row.program);
    if (row.arch == "x86" && !runs_32bit)
      continue;
    std::string mark = "C:\\" + row.arch + ".txt";
    ProcOptions o = options(prefix.path(), wine::launcher());
    o.env["WINEDEBUG"] = std::nullopt; // as users run it, with wine's own hints
    ProcResult r = drive({row.program, "/c", "echo", "%PROCESSOR_ARCHITECTURE%", ">", mark}, o);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.err, HasSubstr("driver: clicked\n"));
    EXPECT_THAT(r.err, Not(HasSubstr("driver: dialog")));
    if (runs_32bit) {
      EXPECT_THAT(r.err, Not(HasSubstr("wine32 is missing")));
    }
    EXPECT_THAT(r.out, Not(HasSubstr("cmd ["))) << "no reg command may run";
    EXPECT_THAT(r.out, Not(HasSubstr("已一次性终止")));
    EXPECT_EQ(flag(), "0");
    std::string file = prefix / ("drive_c/" + row.arch + ".txt");
    EXPECT_TRUE(eventually([&] { return exists(file); }, 90)) << "the program did not run";
    EXPECT_EQ(read_file(file), row.arch + " \r\n");
  }
  EXPECT_EQ(desktop_logpixels(prefix / "user.reg"), before);
  if (!runs_32bit)
    GTEST_SKIP() << "this kernel runs no 32-bit programs: the 32-bit row (syswow64) did not run";
}

TEST_F(ConfirmTest, ChangedDpiIsWrittenByWineVerifiedAndTheProgramStarts) {
  wine::TestPrefix prefix(dir / "prefix");
  ASSERT_EQ(desktop_logpixels(prefix / "user.reg"), "") << "the test prefix should be at 96";
  // A Windows program already running in the prefix is stopped first.
  int running = wine::spawn("sleep 600 | wine cmd.exe", prefix.path(), prefix / "drive_c");
  struct StopAtEnd {
    int pid;
    ~StopAtEnd() { wine::stop(pid); }
  } stop_running{running};
  ASSERT_TRUE(eventually(
      [&] {
        for (int pid : wine::windows_pids(prefix.path()))
          if (wine::command_line(pid).find("cmd.exe") != std::string::npos)
            return true;
        return false;
      },
      120));
  std::vector<int> old_pids = wine::windows_pids(prefix.path());

  std::string wine_path = wine::launcher();
  ProcOptions o = options(prefix.path(), wine_path);
  o.env["NIVRA_DRIVE_DPI"] = "144";
  o.env["NIVRA_DRIVE_NO_PROMPT"] = "0";
  ProcResult r = drive({"cmd.exe", "/c", "echo", "x", ">", "C:\\mark.txt"}, o);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, HasSubstr("driver: dialog 提示 shown\n"));
  std::string reg_line = "cmd [" + wine_path +
                         " reg add \"HKEY_CURRENT_USER\\Control Panel\\Desktop\" /v \"LogPixels\" "
                         "/t REG_DWORD /d 144 /f]\n";
  std::size_t reg_at = r.out.find(reg_line);
  ASSERT_NE(reg_at, std::string::npos) << r.out;
  std::size_t first_kill = r.out.find("已一次性终止");
  EXPECT_LT(first_kill, reg_at) << "the running program was not stopped before the write";
  std::size_t success = r.out.find("DPI设置成功生效，当前DPI值: 144\n");
  EXPECT_NE(success, std::string::npos) << r.out << r.err;
  EXPECT_GT(success, reg_at);
  EXPECT_THAT(r.err, Not(HasSubstr("警告：DPI设置可能未生效")));
  for (int pid : old_pids)
    EXPECT_FALSE(pid_alive(pid)) << wine::command_line(pid);

  EXPECT_EQ(desktop_logpixels(prefix / "user.reg"), "\"LogPixels\"=dword:00000090");
  EXPECT_EQ(flag(), "1");
  EXPECT_TRUE(eventually([&] { return exists(prefix / "drive_c/mark.txt"); }, 90))
      << "the program did not run";
}

// The user's programs are named, then asked to close as at log-off; each
// answer is kept: the user's own "取消", a program's own save question, a
// program that does not answer, programs that cannot be asked. Wine's
// start-up never runs after the programs were asked: the prefix's Run entry
// writes no file.
TEST_F(ConfirmTest, RunningProgramsAreAskedAndTheirAnswersKept) {
  wine::TestPrefix prefix(dir / "prefix");
  struct StopAtEnd {
    int pid;
    ~StopAtEnd() { wine::stop(pid); }
  };
  ProcOptions reg_options = options(prefix.path(), wine::launcher());
  ASSERT_EQ(run_process({wine::launcher(), "reg", "add",
                         "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run", "/v", "mark",
                         "/d", "cmd /c echo run> C:\\run-marker.txt", "/f"},
                        reg_options)
                .status,
            0);
  const std::string run_marker = prefix / "drive_c/run-marker.txt";
  // A console program started by a Unix path, with its folder outside the
  // prefix: it holds nothing of the prefix, but the prefix's server serves it.
  make_dirs(dir / "outside");
  std::filesystem::copy_file(prefix / "drive_c/windows/system32/cmd.exe",
                             dir / "outside/mycon.exe");
  StopAtEnd console{
      wine::spawn("sleep 600 | wine " + dir / "outside/mycon.exe", prefix.path(), dir / "outside")};
  int mycon = settled_pid(prefix.path(), "mycon.exe");
  ASSERT_GT(mycon, 0) << "the console program did not start";
  wine::TestPrefix other(dir / "other");
  std::unique_ptr<StopAtEnd> other_editor;
  int other_notepad = -1;
  std::vector<std::unique_ptr<StopAtEnd>> editors;
  auto is_notepad = [](int pid) {
    std::string line = wine::command_line(pid);
    return line.find("notepad.exe") != std::string::npos &&
           line.find("start.exe") == std::string::npos &&
           line.find("explorer") == std::string::npos;
  };
  int notepad = -1, notepad2 = -1, side = -1;
  auto start_notepad = [&](const std::string &file, const std::string &title, int *pid) {
    editors.emplace_back(new StopAtEnd{
        wine::spawn("exec wine notepad.exe " + file, prefix.path(), prefix / "drive_c")});
    // Wine starts notepad through start.exe, beside its services: only notepad is named.
    *pid = -1;
    for (int i = 0; i < 1200 && *pid < 0; ++i) {
      for (int found : wine::windows_pids(prefix.path()))
        if (found != notepad && found != notepad2 && found != side && is_notepad(found))
          *pid = found;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_GT(*pid, 0) << "notepad did not start";
    settle(prefix.path()); // its window is up
    if (!title.empty()) {
      ASSERT_EQ(run_process({tool_path("xwin"), "key", title, "30000", "h", "i"}).status, 0);
    }
  };
  // Wine starts a desktop's programs outside the group spawn made.
  auto stop_editors = [&] {
    editors.clear();
    for (int pid : wine::windows_pids(prefix.path()))
      if (pid == side || wine::command_line(pid).find("/desktop=Side") != std::string::npos)
        kill(pid, SIGKILL);
    EXPECT_TRUE(eventually([&] { return !pid_alive(notepad) && !pid_alive(side); }, 30));
  };
  // Notepad asks only while it holds the typed text: Don't Save after Cancel
  // shows that Cancel kept it.
  int asked = -1;
  auto notepad_asks = [&asked](const std::string &key) {
    return std::thread([key, &asked] {
      asked = run_process({tool_path("xwin"), "key", "Notepad", "60000", key}).status;
    });
  };
  // Programs that take their time, one after the other: each stopped one
  // goes on 4 s after the one before it has ended, so each answers within
  // the 7 s limit and all of them take longer.
  auto answer_in_turn = [&asked](std::vector<int> pids) {
    for (int pid : pids)
      kill(pid, SIGSTOP);
    return std::thread([pids, &asked] {
      asked = 0;
      for (int pid : pids) {
        std::this_thread::sleep_for(std::chrono::seconds(4));
        kill(pid, SIGCONT);
        if (!eventually([&] { return !pid_alive(pid); }, 20))
          asked = 3;
      }
    });
  };
  auto move_wineboot = [&](bool away) {
    for (const char *folder : {"system32", "syswow64"}) {
      std::string at = prefix / ("drive_c/windows/" + std::string(folder) + "/wineboot.exe");
      // A prefix made without Wine's 32-bit half has no syswow64 copy.
      if (away ? exists(at) : exists(at + ".away"))
        std::filesystem::rename(away ? at : at + ".away", away ? at + ".away" : at);
    }
  };
  const struct {
    std::string name, dpi, answer, force, notepad_key, driver_line;
    const int *pid; // the program the row is about: ended when the change goes on
    bool goes_on;
  } rows[] = {
      {"wineboot that Wine cannot run", "120", "关闭并继续", "取消", "", "unasked [mycon.exe]",
       &mycon, false},
      {"a console program outside the prefix", "120", "关闭并继续", "", "", "question [mycon.exe]",
       &mycon, true},
      {"the user's own 取消", "144", "取消", "", "", "question [notepad.exe]", &notepad, false},
      {"Cancel in notepad's save question", "144", "关闭并继续", "", "Escape",
       "refused [notepad.exe]", &notepad, false},
      {"Don't Save in notepad's save question", "144", "关闭并继续", "", "n",
       "question [notepad.exe]", &notepad, true},
      {"a notepad of another prefix started from this one's folder", "168", "", "", "", "",
       &other_notepad, true},
      {"a notepad on another Wine desktop", "120", "关闭并继续", "取消", "",
       "unasked [notepad.exe]", &side, false},
      {"two notepads that each answer within the limit, one after the other", "120", "关闭并继续",
       "", "", "question [notepad.exe]", &notepad2, true},
      {"a notepad that does not answer", "168", "关闭并继续", "", "", "no answer [notepad.exe]",
       &notepad, false},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    const std::size_t at = &row - rows;
    if (at == 0)
      move_wineboot(true);
    if (at == 2)
      start_notepad("", "Untitled - Notepad", &notepad);
    if (at == 5) {
      // A notepad of another prefix, started from this one's folder.
      other_editor.reset(
          new StopAtEnd{wine::spawn("exec wine notepad.exe", other.path(), prefix / "drive_c")});
      other_notepad = settled_pid(other.path(), "notepad.exe");
      ASSERT_GT(other_notepad, 0);
    }
    if (at == 6) {
      editors.emplace_back(
          new StopAtEnd{wine::spawn("exec wine explorer /desktop=Side,800x600 notepad.exe",
                                    prefix.path(), prefix / "drive_c")});
      side = -1;
      ASSERT_TRUE(eventually(
          [&] {
            for (int found : wine::windows_pids(prefix.path()))
              if (is_notepad(found))
                side = found;
            return side > 0;
          },
          120));
    }
    if (at == 7) {
      stop_editors();
      start_notepad("", "", &notepad);
      start_notepad("", "", &notepad2);
    }
    if (at == 8) {
      start_notepad("", "", &notepad);
      ASSERT_EQ(kill(notepad, SIGSTOP), 0);
    }
    std::string before = desktop_logpixels(prefix / "user.reg");
    remove_tree(dir / "home/.config/nivra-wine/enable_wine_start_helper");
    remove_tree(prefix / "drive_c/mark.txt");
    ProcOptions o = options(prefix.path(), wine::launcher());
    o.env["NIVRA_DRIVE_DPI"] = row.dpi;
    o.env["NIVRA_DRIVE_ANSWER"] = row.answer;
    o.env["NIVRA_DRIVE_FORCE"] = row.force;
    o.env["NIVRA_DRIVE_END_SESSION_MS"] = "7000"; // past wineboot's own five seconds
    std::thread answer;
    if (!row.notepad_key.empty())
      answer = notepad_asks(row.notepad_key);
    if (row.pid == &notepad2)
      answer = answer_in_turn({notepad, notepad2});
    ProcResult r = drive({"cmd.exe", "/c", "echo", "x", ">", "C:\\mark.txt"}, o);
    if (answer.joinable()) {
      answer.join();
      EXPECT_EQ(asked, 0) << "notepad did not ask to save";
    }
    if (at == 0)
      move_wineboot(false);
    EXPECT_FALSE(r.timed_out) << r.out << r.err;
    EXPECT_EQ(r.status, 0) << r.err;
    if (row.driver_line.empty()) {
      EXPECT_THAT(r.err, Not(HasSubstr("driver: question")));
    } else {
      EXPECT_THAT(r.err, HasSubstr("driver: " + row.driver_line + "\n"));
    }
    if (at == 0) {
      EXPECT_THAT(r.err, HasSubstr("driver: because [无法请求程序关闭：Application could not be "
                                   "started, or no application associated with the specified "
                                   "file."));
    }
    EXPECT_FALSE(exists(run_marker)) << "Wine's start-up ran the prefix's Run entry";
    EXPECT_EQ(flag(), row.goes_on ? "0" : "") << "the flag is written once the change goes on";
    if (!row.goes_on) {
      EXPECT_THAT(r.out, Not(HasSubstr("已一次性终止")));
      EXPECT_THAT(r.out, Not(HasSubstr(" reg add ")));
      EXPECT_TRUE(pid_alive(*row.pid));
      EXPECT_EQ(desktop_logpixels(prefix / "user.reg"), before);
      EXPECT_FALSE(exists(prefix / "drive_c/mark.txt")) << "the program was started";
      // wineboot's own "Waiting for Program" went with it.
      EXPECT_EQ(run_process({tool_path("xwin"), "wait", "Waiting for Program", "300"}).status, 2);
      continue;
    }
    EXPECT_THAT(r.out, HasSubstr("DPI设置成功生效，当前DPI值: " + row.dpi + "\n"))
        << r.out << r.err;
    EXPECT_THAT(r.err, Not(HasSubstr("driver: no answer")));
    EXPECT_EQ(pid_alive(*row.pid), row.pid == &other_notepad);
    if (row.pid == &notepad2) {
      EXPECT_FALSE(pid_alive(notepad));
    }
    EXPECT_EQ(desktop_logpixels(prefix / "user.reg"),
              "\"LogPixels\"=dword:" + std::string(row.dpi == "120"   ? "00000078"
                                                   : row.dpi == "144" ? "00000090"
                                                                      : "000000a8"));
    EXPECT_TRUE(eventually([&] { return exists(prefix / "drive_c/mark.txt"); }, 90));
  }
  kill(notepad, SIGCONT);
}

TEST_F(ConfirmTest, WineOwnProcessesAloneBringNoQuestion) {
  struct StopAtEnd {
    int pid;
    ~StopAtEnd() { wine::stop(pid); }
  };
  // Wine's services kept by a server that stays after the program, or
  // started by the helper itself while its window is read (with its cmd.exe).
  for (bool warm_up : {false, true}) {
    SCOPED_TRACE(warm_up ? "the helper's warm-up" : "a server that stays");
    wine::TestPrefix prefix(dir / (warm_up ? "warm" : "kept"));
    std::unique_ptr<StopAtEnd> boot;
    ProcOptions o = options(prefix.path(), wine::launcher());
    o.env["NIVRA_DRIVE_DPI"] = "120";
    if (warm_up) {
      o.env["NIVRA_DRIVE_READ_MS"] = "3000";
    } else {
      boot.reset(new StopAtEnd{wine::spawn("wineserver -p && exec wine cmd.exe /c exit",
                                           prefix.path(), prefix / "drive_c")});
      ASSERT_GT(settled_pid(prefix.path(), "services.exe"), 0);
    }
    ProcResult r = drive({"cmd.exe", "/c", "exit"}, o);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("prefix warm-up [") != std::string::npos, warm_up) << r.out;
    EXPECT_THAT(r.err, Not(HasSubstr("driver: question")));
    // They stay for the write, which the running server takes at once, and go after it.
    std::size_t reg_at = r.out.find(" reg add ");
    ASSERT_NE(reg_at, std::string::npos) << r.out;
    EXPECT_EQ(r.out.rfind("已一次性终止", reg_at), std::string::npos);
    EXPECT_NE(r.out.find("已一次性终止", reg_at), std::string::npos)
        << "the services were not stopped";
    EXPECT_THAT(r.out, HasSubstr("DPI设置成功生效，当前DPI值: 120\n")) << r.out << r.err;
    EXPECT_EQ(desktop_logpixels(prefix / "user.reg"), "\"LogPixels\"=dword:00000078");
  }
}

TEST_F(ConfirmTest, RegistryThatNeverChangesGivesTheWarningAfterTwentyChecks) {
  make_dirs(dir / "prefix");
  write_file(dir / "prefix/user.reg", kDesktop + "\"LogPixels\"=dword:00000060\n");
  ProcOptions o = options(dir / "prefix", script_launcher(false));
  o.env["NIVRA_DRIVE_DPI"] = "120";
  ProcResult r = drive({"prog.exe", "arg"}, o);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, HasSubstr("driver: dialog 提示 shown\n"));
  // One read while the window is built, then twenty checks.
  EXPECT_EQ(count_of(r.out, "从文件 " + dir / "prefix/user.reg" + " 解析到DPI: 96\n"), 21u)
      << r.out;
  EXPECT_EQ(count_of(r.err, "警告：DPI设置可能未生效，请检查注册表文件\n"), 1u) << r.err;
  EXPECT_THAT(r.err, HasSubstr("driver: error [DPI设置可能未生效，请检查注册表文件|]\n"));
  EXPECT_THAT(r.out, Not(HasSubstr("DPI设置成功生效")));
  EXPECT_FALSE(exists(dir / "home/.config/nivra-wine/enable_wine_start_helper"))
      << "a change that did not take effect records nothing: the window comes again";
  EXPECT_EQ(read_file(dir / "reg-log"),
            "<reg><add><HKEY_CURRENT_USER\\Control Panel\\Desktop></v><LogPixels></t><REG_DWORD>"
            "</d><120></f>");
  EXPECT_EQ(read_file(dir / "started"), "<prog.exe><arg>");
}

// A reg that fails is said at once in a box with Wine's first error line,
// records no choice, and the program is started all the same.
TEST_F(ConfirmTest, RegistryWriteThatFailsIsSaidAndRecordsNothing) {
  wine::TestPrefix prefix(dir / "prefix");
  for (const char *folder : {"system32", "syswow64"})
    remove_tree(prefix / ("drive_c/windows/" + std::string(folder) + "/reg.exe"));
  const struct {
    std::string name, reg_action, reason;
  } rows[] = {
      {"reg.exe missing from the prefix", "",
       "Application could not be started, or no application associated with the specified file."},
      {"a reg that says why", "echo '0024:fixme:reg:x' >&2; echo 'reg: Access is denied.'; exit 1",
       "reg: Access is denied."},
      {"a reg that says nothing", "exit 3", "reg 的结束状态为 3"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    std::string launcher = wine::launcher();
    if (!row.reg_action.empty()) {
      write_launcher(dir / "launcher", {{"reg", row.reg_action}, {"*", "exec wine \"$@\""}});
      launcher = dir / "launcher";
    }
    remove_tree(prefix / "drive_c/mark.txt");
    ProcOptions o = options(prefix.path(), launcher);
    o.env["NIVRA_DRIVE_DPI"] = "144";
    ProcResult r = drive({"cmd.exe", "/c", "echo", "x", ">", "C:\\mark.txt"}, o);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.err,
                HasSubstr("driver: error [写入DPI值失败，DPI未更改。|" + row.reason + "]\n"));
    EXPECT_THAT(r.err, HasSubstr("错误：写入DPI值的命令失败"));
    EXPECT_THAT(r.out, Not(HasSubstr("DPI设置成功生效")));
    EXPECT_EQ(desktop_logpixels(prefix / "user.reg"), "");
    EXPECT_FALSE(exists(dir / "home/.config/nivra-wine/enable_wine_start_helper"));
    EXPECT_TRUE(eventually([&] { return exists(prefix / "drive_c/mark.txt"); }, 90));
  }
}

// A reg that never ends is stopped with what it started; nothing claims
// success, and the program is started all the same.
TEST_F(ConfirmTest, RegistryWriteThatHangsIsStoppedAtItsLimit) {
  make_dirs(dir / "prefix");
  write_launcher(dir / "launcher",
                 {{"--version", "echo wine-test"},
                  {"reg", "sleep 600 & echo $! > '" + dir / "reg-pid" + "'; wait"},
                  {"*", "touch '" + dir / "started" + "'"}});
  ProcOptions o = options(dir / "prefix", dir / "launcher");
  o.env["NIVRA_DRIVE_DPI"] = "120";
  o.env["NIVRA_DRIVE_REG_MS"] = "1000";
  ProcResult r = drive({"prog.exe"}, o);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(
      r.err,
      HasSubstr("driver: error [写入DPI值的命令在 1 秒内没有结束，已被停止，DPI可能没有更改。|]"));
  EXPECT_THAT(r.err, HasSubstr("警告：写入DPI值的命令在 1 秒内没有结束，已终止\n"));
  EXPECT_THAT(r.err, HasSubstr("警告：DPI设置可能未生效，请检查注册表文件\n"));
  EXPECT_THAT(r.out, Not(HasSubstr("DPI设置成功生效")));
  EXPECT_TRUE(eventually([&] { return exists(dir / "started"); }, 10));
  EXPECT_FALSE(pid_alive(std::stoi(read_file(dir / "reg-pid"))));
}

TEST_F(ConfirmTest, ScriptLauncherPaths) {
  struct Case {
    std::string name;
    std::string registry; // LogPixels line of user.reg, or empty for no file
    std::optional<std::string> choose;
    std::string target; // DPI that gets written, or empty when nothing changes
    std::string err_line;
  };
  const Case cases[] = {
      {"a value that is no choice is replaced by 96", "\"LogPixels\"=dword:00000064\n",
       std::nullopt, "96", ""},
      {"no user.reg and 120 chosen", "", "120", "120", ""},
      {"no user.reg and 96 chosen", "", "96", "", ""},
      {"no choice at all", "\"LogPixels\"=dword:00000078\n", "none", "", "错误：未选中DPI值\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    remove_tree(dir / "prefix");
    make_dirs(dir / "prefix");
    if (!c.registry.empty())
      write_file(dir / "prefix/user.reg", kDesktop + c.registry);
    remove_tree(dir / "started");
    remove_tree(dir / "reg-log");
    ProcOptions o = options(dir / "prefix", script_launcher(true));
    o.env["NIVRA_DRIVE_DPI"] = c.choose;
    ProcResult r = drive({"prog.exe", "a b"}, o);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir / "started"), "<prog.exe><a b>");
    if (!c.err_line.empty()) {
      EXPECT_THAT(r.err, HasSubstr(c.err_line));
    }
    if (c.target.empty()) {
      EXPECT_FALSE(exists(dir / "reg-log"));
      EXPECT_THAT(r.err, Not(HasSubstr("driver: dialog")));
      EXPECT_THAT(r.out, Not(HasSubstr("cmd [")));
    } else {
      EXPECT_THAT(r.err, HasSubstr("driver: dialog 提示 shown\n"));
      EXPECT_EQ(read_file(dir / "reg-log"),
                "<reg><add><HKEY_CURRENT_USER\\Control Panel\\Desktop></v><LogPixels></t>"
                "<REG_DWORD></d><" +
                    c.target + "></f>");
      EXPECT_THAT(r.out, HasSubstr("DPI设置成功生效，当前DPI值: " + c.target + "\n"));
    }
  }
}

// Through the real program and Enter on its window: every word after the
// program's name is the Windows program's, whatever GTK would make of it.
TEST_F(ConfirmTest, EveryArgumentReachesTheProgramAsTyped) {
  // A copy of the helper with the launcher beside it, for an empty WINE_APP.
  make_dirs(dir / "app/bin");
  ASSERT_EQ(run_process({"cp", helper_path(), dir / "app/bin/"}).status, 0);
  ASSERT_EQ(run_process({"cp", script_launcher(false), dir / "app/bin/nivra-wine-internal"}).status,
            0);
  const std::vector<std::string> rows[] = {
      {"game.exe", "--name", "Player1", "-windowed", "--class=x", "a b"},
      {"game.exe", "--display=:9"},
      {"game.exe", "--gtk-module=x", "--g-fatal-warnings", "--sync"},
      {"game.exe", "", " a  b ", "--gdk-debug=all", ""}, // with WINE_APP empty
  };
  for (const auto &args : rows) {
    std::string launched;
    for (const std::string &arg : args)
      launched += "<" + arg + ">";
    SCOPED_TRACE(launched);
    remove_tree(dir / "started");
    ProcOptions o = options(dir / "prefix", &args == std::end(rows) - 1 ? "" : dir / "launcher");
    o.env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + dir / "no-bus"; // starts no bus
    o.env["NO_AT_BRIDGE"] = "1";
    int window = -1;
    o.ctx = &window;
    o.while_running = [](int, void *ctx) { // Enter once "确定" has settled as the default
      *static_cast<int *>(ctx) =
          run_process({tool_path("xwin"), "key", "wine辅助程序", "30000", "#4CAF50", "Return"})
              .status;
    };
    std::vector<std::string> argv{dir / "app/bin/nivra-wine-helper"};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcResult r = run_process(argv, o);
    EXPECT_EQ(window, 0) << "the window did not show";
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(eventually([&] { return read_file(dir / "started") == launched; }, 10, 50))
        << read_file(dir / "started");
  }
}

// The launcher cannot be run: the window stays with the reason in a box, and
// the helper, once its window is closed, ends as a shell would.
TEST_F(ConfirmTest, UnrunnableLauncherIsSaidInTheWindowAndEndsNonZero) {
  make_dirs(dir / "prefix");
  write_file(dir / "not-executable", "#!/bin/sh\n");
  // Wine refuses a prefix of another user, whatever the launcher.
  make_dirs(dir / "theirs");
  const bool root = getuid() == 0;
  if (root) {
    ASSERT_EQ(chown((dir / "theirs").c_str(), 4321, 4321), 0);
  }
  const std::string refused =
      "Wine无法在此容器中运行程序|wine: '" + dir / "theirs" + "' is not owned by you";
  const struct {
    std::string prefix, launcher, button;
    int status;
    std::string box;
  } rows[] = {
      {"prefix", dir / "missing", "确定", 127,
       "无法启动 " + dir / "missing" + "|No such file or directory"},
      {"prefix", dir / "not-executable", "确定", 126,
       "无法启动 " + dir / "not-executable" + "|Permission denied"},
      {"prefix", dir / "missing", "配置", 127,
       "无法启动 " + dir / "missing" + "|No such file or directory"},
      {"theirs", script_launcher(true), "确定", 1, refused},
      {"theirs", script_launcher(true), "设置", 1, refused},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.launcher + " " + row.button);
    if (row.prefix == "theirs" && !root)
      continue;
    ProcOptions o = options(dir / row.prefix, row.launcher);
    o.env["NIVRA_DRIVE_BUTTON"] = row.button;
    ProcResult r = drive({"prog.exe"}, o);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, row.status) << r.err;
    EXPECT_THAT(r.err, HasSubstr("driver: error [" + row.box + "]\ndriver: closing the window\n"));
    EXPECT_FALSE(exists(dir / "started"));
    EXPECT_FALSE(exists(dir / "home/.config/nivra-wine/enable_wine_start_helper"));
  }
}

// Closed by the window manager's close button, or by Escape, after the window
// was read for a while: nothing is written or started, and nothing that the
// helper started in the prefix stays; what the user runs there is left alone.
TEST_F(ConfirmTest, ClosingTheWindowWritesNoFlagAndStartsNothing) {
  struct Reading {
    std::string prefix;
    std::size_t wine_processes = 0; // of the prefix, just before the close
    std::vector<std::string> close;
    std::thread closer;
  };
  const struct {
    std::string name;
    bool wine, users_program;
    std::vector<std::string> close; // how xwin closes the window
  } rows[] = {{"a plain folder and a script launcher", false, false, {"close"}},
              {"Escape typed into the window", false, false, {"key", "Escape"}},
              {"a Wine prefix, started while the window is read", true, false, {"close"}},
              {"a Wine prefix in which the user's program runs", true, true, {"close"}}};
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    std::unique_ptr<wine::TestPrefix> wine_prefix;
    Reading reading;
    reading.close = row.close;
    reading.prefix = dir / ("prefix" + std::to_string(&row - rows));
    if (row.wine)
      wine_prefix = std::make_unique<wine::TestPrefix>(reading.prefix);
    else
      make_dirs(reading.prefix);
    int users = -1, users_cmd = -1;
    if (row.users_program) {
      users = wine::spawn("sleep 600 | wine cmd.exe", reading.prefix, reading.prefix);
      users_cmd = settled_pid(reading.prefix, "cmd.exe");
      ASSERT_GT(users_cmd, 0);
    }
    ProcOptions o = options(reading.prefix, row.wine ? wine::launcher() : script_launcher(true));
    o.ctx = &reading;
    o.while_running = [](int, void *ctx) {
      auto *reading = static_cast<Reading *>(ctx);
      reading->closer = std::thread([reading] {
        run_process({tool_path("xwin"), "wait", "wine辅助程序", "20000"});
        std::this_thread::sleep_for(std::chrono::seconds(3));
        reading->wine_processes = wine::windows_pids(reading->prefix).size();
        std::vector<std::string> argv{tool_path("xwin"), reading->close[0], "wine辅助程序",
                                      "20000"};
        argv.insert(argv.end(), reading->close.begin() + 1, reading->close.end());
        run_process(argv);
      });
    };
    // The helper itself, not the driver: nothing clicks.
    ProcResult r = run_process({helper_path(), "prog.exe"}, o);
    reading.closer.join();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(exists(dir / "home/.config/nivra-wine/enable_wine_start_helper"));
    EXPECT_FALSE(exists(dir / "started"));
    const bool warmed = row.wine && !row.users_program;
    EXPECT_EQ(r.out.find("prefix warm-up [") != std::string::npos, warmed) << r.out;
    if (warmed) {
      EXPECT_GT(reading.wine_processes, 1u) << "the prefix was not started while read";
      EXPECT_TRUE(eventually([&] { return wine::windows_pids(reading.prefix).empty(); }, 10))
          << "left behind: " << wine::windows_pids(reading.prefix).size();
    }
    if (row.users_program) {
      EXPECT_TRUE(pid_alive(users_cmd)) << "the user's program was stopped";
      wine::stop(users);
    }
  }
}

} // namespace

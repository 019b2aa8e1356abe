#include "debug/debug_dialog.hpp"
#include "launch/cmd_runner.hpp"
#include "launch/output_capture.hpp"
#include "prefix/prefix_path.hpp"
#include "settings/settings.hpp"
#include "shell/tool_buttons.hpp"
#include "test_support.hpp"
#include "util/shell_quote.hpp"

#include <gtest/gtest.h>

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

using namespace testsupport;

namespace {

// A launcher that appends "argc=N" and one "[arg]" line per argument to rec.
void write_recorder(const std::string &path, const std::string &rec) {
  write_script(path,
               "{ echo \"argc=$#\"; for a in \"$@\"; do printf '[%s]\\n' \"$a\"; done; } >> '" +
                   rec + "'\n");
}

class LauncherPathGuard : public testing::Test {
protected:
  void set_launcher(const std::string &path) {
    ASSERT_LT(path.size(), sizeof(wine_app_path));
    std::strcpy(wine_app_path, path.c_str());
  }
  void TearDown() override { std::memset(wine_app_path, 0, sizeof(wine_app_path)); }
  TempDir dir;
};

using ToolButtonTest = LauncherPathGuard;

// The buttons start their tool and return at once; the tool's end comes through the main loop.
void wait_for_tool() {
  const gint64 until = g_get_monotonic_time() + 20 * G_USEC_PER_SEC;
  while (tool_buttons::running() && g_get_monotonic_time() < until)
    g_main_context_iteration(nullptr, TRUE);
}

TEST_F(ToolButtonTest, ButtonsPrintAndRunTheirLines) {
  using handler_fn = void (*)(GtkWidget *, gpointer);
  struct Case {
    handler_fn handler;
    std::string args_text;
    std::string recorded;
    std::string wine_app = "launcher"; // WINE_APP, under dir; "" stays empty
    std::string runs = "launcher";
    // Clicked while the tool runs (the launcher then takes a while): starts nothing.
    std::vector<handler_fn> meanwhile = {};
  };
  auto open_debug_dialog = [](GtkWidget *, gpointer) {
    on_debug_app_btn_clicked(nullptr, nullptr);
  };
  const Case cases[] = {
      {on_wine_cfg_btn_clicked, " winecfg", "argc=1\n[winecfg]\n"},
      {on_net_proxy_btn_clicked, " rundll32.exe shell32.dll,Control_RunDLL inetcpl.cpl",
       "argc=3\n[rundll32.exe]\n[shell32.dll,Control_RunDLL]\n[inetcpl.cpl]\n"},
      // An empty WINE_APP is an unset one: the launcher beside the program.
      {on_wine_cfg_btn_clicked, " winecfg", "argc=1\n[winecfg]\n", "", "nivra-wine-internal"},
      // A second "配置", "设置" or "调试" while winecfg runs starts nothing, and the line
      // is printed once.
      {on_wine_cfg_btn_clicked,
       " winecfg",
       "argc=1\n[winecfg]\n",
       "launcher",
       "launcher",
       {on_wine_cfg_btn_clicked, on_net_proxy_btn_clicked, open_debug_dialog}},
  };
  for (const Case &c : cases) {
    std::string rec = dir / "rec";
    write_file(rec, "");
    write_recorder(dir / c.runs, rec);
    if (!c.meanwhile.empty())
      write_file(dir / c.runs, read_file(dir / c.runs) + "sleep 0.5\n");
    std::string wine_app = c.wine_app.empty() ? "" : dir / c.wine_app;
    ASSERT_EQ(settings::set_wine_app_path(wine_app.c_str(), dir.path().c_str()),
              settings::LauncherPath::ok);
    CaptureStdout();
    CaptureStderr();
    c.handler(nullptr, nullptr);
    EXPECT_TRUE(tool_buttons::running());
    for (handler_fn again : c.meanwhile)
      again(nullptr, nullptr);
    wait_for_tool();
    std::string out = GetCapturedStdout();
    std::string err = GetCapturedStderr();
    EXPECT_FALSE(tool_buttons::running());
    // An ordinary path stays unquoted in the line.
    EXPECT_EQ(out, "cmd [" + dir / c.runs + c.args_text + "]\n");
    EXPECT_EQ(err, "");
    EXPECT_EQ(read_file(rec), c.recorded);
  }
  // A launcher path so long that the line would lose the tool's name runs nothing.
  set_launcher("/" + std::string(1015, 'w'));
  CaptureStdout();
  CaptureStderr();
  on_wine_cfg_btn_clicked(nullptr, nullptr);
  EXPECT_FALSE(tool_buttons::running());
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(GetCapturedStderr(), "错误：启动器路径过长，无法组成命令行\n");
}

TEST(CmdLine, JoinsWithBlanksAndCutsAt1022) {
  std::string a300(300, 'a'), b300(300, 'b'), c300(300, 'c'), d300(300, 'd');
  std::string l(1022 - 2, 'x');
  struct Case {
    std::string cmd;
    std::vector<std::string> args;
    std::string expected;
  };
  const Case cases[] = {
      {"/usr/bin/wine", {}, "/usr/bin/wine"},
      {"/usr/bin/wine", {"winecfg"}, "/usr/bin/wine winecfg"},
      {"", {"/bin/true", "x"}, " /bin/true x"},
      // Arguments are placed as they are: their quotes are the shell's.
      {"/w", {"\"a b\"", "$X"}, "/w \"a b\" $X"},
      {"/w",
       {a300, b300, c300, d300},
       ("/w " + a300 + " " + b300 + " " + c300 + " " + d300).substr(0, 1022)},
      // Exactly 1022: the next argument is dropped whole, no trailing blank.
      {"/w", {std::string(1022 - 3, 'y'), "dropped"}, "/w " + std::string(1022 - 3, 'y')},
      {l, {"z"}, l + " z"},
      {l + "q", {"z"}, l + "q "},
      // A launcher with blanks or shell characters is one quoted word.
      {"/opt/my wine/wine", {"winecfg"}, "'/opt/my wine/wine' winecfg"},
      {"/opt/it's", {}, "'/opt/it'\\''s'"},
  };
  for (const Case &c : cases) {
    std::vector<const char *> args;
    for (const auto &a : c.args)
      args.push_back(a.c_str());
    args.push_back(nullptr);
    char line[cmd_runner::kLineSize];
    ASSERT_TRUE(cmd_runner::build_cmd_line(c.cmd.c_str(), args.data(), line)) << c.cmd;
    EXPECT_EQ(std::string(line), c.expected) << c.cmd;
    EXPECT_LE(std::strlen(line), 1022u);
  }
}

TEST(CmdLine, FullLengthTellsWhenTheLineWouldBeCut) {
  const char *args[] = {"reg", "add", "/d", "120", nullptr};
  EXPECT_EQ(cmd_runner::full_cmd_line_length("/usr/bin/wine", args), 28u);
  EXPECT_EQ(cmd_runner::full_cmd_line_length("", nullptr), 0u);
  // 255 quotes quote to 1022 characters: the launcher fits, its arguments do not.
  std::string quotes(255, '\'');
  char line[cmd_runner::kLineSize];
  ASSERT_TRUE(cmd_runner::build_cmd_line(quotes.c_str(), args, line));
  EXPECT_EQ(std::strlen(line), cmd_runner::kMaxLine);
  EXPECT_GT(cmd_runner::full_cmd_line_length(quotes.c_str(), args), cmd_runner::kMaxLine);
}

TEST(CmdLine, QuotedLauncherThatCannotFitIsRefusedNotCut) {
  std::string quotes(300, '\''); // each becomes four characters when quoted
  const char *args[] = {"winecfg", nullptr};
  char line[cmd_runner::kLineSize];
  EXPECT_FALSE(cmd_runner::build_cmd_line(quotes.c_str(), args, line));
  EXPECT_STREQ(line, "");

  CaptureStdout();
  CaptureStderr();
  run_cmd_sync(quotes.c_str(), args);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_THAT(GetCapturedStderr(), StartsWith("错误："));
}

using RunCmdSyncTest = LauncherPathGuard;

TEST_F(RunCmdSyncTest, LongArgumentsAreCutAndLaterOnesDropped) {
  std::string rec = dir / "rec";
  write_recorder(dir / "launcher", rec);
  std::string a500(500, 'a'), b500(500, 'b'), c10(10, 'c');
  const char *args[] = {a500.c_str(), b500.c_str(), c10.c_str(), nullptr};
  CaptureStdout();
  run_cmd_sync((dir / "launcher").c_str(), args);
  std::string out = GetCapturedStdout();
  std::string full = dir / "launcher" + " " + a500 + " " + b500 + " " + c10;
  std::string line = full.substr(0, 1022);
  EXPECT_EQ(out, "cmd [" + line + "]\n");
  std::size_t kept_b = 1022 - (dir / "launcher").size() - 1 - 500 - 1;
  EXPECT_EQ(read_file(rec), "argc=2\n[" + a500 + "]\n[" + std::string(kept_b, 'b') + "]\n");
}

TEST_F(RunCmdSyncTest, EmptyLauncherMakesTheFirstArgumentTheCommand) {
  std::string rec = dir / "rec";
  write_recorder(dir / "tool", rec);
  std::string tool = dir / "tool";
  const char *args[] = {tool.c_str(), "one", nullptr};
  CaptureStdout();
  run_cmd_sync("", args);
  EXPECT_EQ(GetCapturedStdout(), "cmd [ " + tool + " one]\n");
  EXPECT_EQ(read_file(rec), "argc=1\n[one]\n");
}

TEST_F(RunCmdSyncTest, LauncherWithBlanksAndShellCharactersRunsAsOneWord) {
  std::string rec = dir / "rec";
  std::string odd = dir / "my wine $(touch pwned) `touch pwned2`;touch pwned3 it's";
  write_recorder(odd, rec);
  ScopedCwd cwd(dir.path());
  const char *args[] = {"winecfg", nullptr};
  CaptureStdout();
  CaptureStderr();
  run_cmd_sync(odd.c_str(), args);
  std::string out = GetCapturedStdout();
  std::string err = GetCapturedStderr();
  EXPECT_EQ(out, "cmd [" + shell_quote::quote(odd) + " winecfg]\n");
  EXPECT_EQ(err, "");
  EXPECT_EQ(read_file(rec), "argc=1\n[winecfg]\n");
  for (const char *name : {"pwned", "pwned2", "pwned3"})
    EXPECT_FALSE(exists(dir / name)) << name;
}

TEST_F(RunCmdSyncTest, OrdinaryLauncherPathsStayUnquoted) {
  // Letters of other scripts, bytes that are not UTF-8 and a tilde inside a
  // name are nothing to the shell; the line shows the path as it is.
  for (std::string folder : {"用户", "wine-8.0~rc1", "\xff\xfe"}) {
    SCOPED_TRACE(folder);
    make_dirs(dir / folder);
    std::string rec = dir / folder + "/rec";
    std::string launcher = dir / folder + "/wine";
    write_recorder(launcher, rec);
    const char *args[] = {"winecfg", nullptr};
    CaptureStdout();
    run_cmd_sync(launcher.c_str(), args);
    EXPECT_EQ(GetCapturedStdout(), "cmd [" + launcher + " winecfg]\n");
    EXPECT_EQ(read_file(rec), "argc=1\n[winecfg]\n");
  }
}

TEST(ShellWords, OnlyALeadingTildeOrAnAsciiShellCharacterNeedsQuotes) {
  EXPECT_TRUE(shell_quote::is_plain_word("/opt/wine~1/bin/wine"));
  EXPECT_TRUE(shell_quote::is_plain_word("/home/用户/wine"));
  EXPECT_FALSE(shell_quote::is_plain_word("~/wine"));
  EXPECT_FALSE(shell_quote::is_plain_word("/home/用户 2/wine"));
  EXPECT_FALSE(shell_quote::is_plain_word("/x\xe4$(id)"));
  EXPECT_FALSE(shell_quote::is_plain_word("A=\xe4"));
  EXPECT_EQ(shell_quote::quote_if_needed("~/wine"), "'~/wine'");
}

TEST(RunnerChildren, PendingOutputAndExitHandlersAppearOnce) {
  TempDir dir;
  std::string rec = dir / "rec";
  write_recorder(dir / "launcher", rec);
  ProcResult sync = run_process({tool_path("runner_tool"), "sync", dir / "launcher", "x"});
  EXPECT_EQ(sync.status, 0);
  EXPECT_EQ(sync.out, "pending;cmd [" + dir / "launcher" + " x]\nexit handlers ran\n");
  EXPECT_EQ(read_file(rec), "argc=1\n[x]\n");

  ProcResult detached =
      run_process({tool_path("runner_tool"), "detached", "/nonexistent/program", "a"});
  EXPECT_EQ(detached.status, 0);
  EXPECT_EQ(detached.out, "pending;status 0\nexit handlers ran\n");
  EXPECT_EQ(detached.err, "错误：无法启动 /nonexistent/program: No such file or directory\n");
}

// A program that records its pid and arguments, then waits for the file "go"
// before it writes "done".
void write_waiting_program(const TempDir &dir) {
  write_script(dir / "prog", "exec >/dev/null 2>&1\n"
                             "echo $$ > '" +
                                 dir / "pid.tmp" +
                                 "'\n"
                                 "mv '" +
                                 dir / "pid.tmp" + "' '" + dir / "pid" +
                                 "'\n"
                                 "printf '[%s]\\n' \"$@\" > '" +
                                 dir / "args" +
                                 "'\n"
                                 "i=0; while [ ! -e '" +
                                 dir / "go" +
                                 "' ] && [ $i -lt 200 ]; do\n"
                                 "  sleep 0.05; i=$((i+1)); done\n"
                                 "touch '" +
                                 dir / "done" + "'\n");
}

int parent_of(int pid) {
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  std::size_t close = stat.rfind(')');
  if (close == std::string::npos)
    return -1;
  int ppid = -1;
  std::sscanf(stat.c_str() + close + 2, "%*c %d", &ppid);
  return ppid;
}

TEST(RunCmdDetached, ProgramIsNotOurChildAndGetsItsVectorUnchanged) {
  TempDir dir;
  write_waiting_program(dir);
  std::string prog = dir / "prog";
  std::vector<std::string> args = {prog, "a b", "c'd", ""};
  std::vector<char *> argv;
  for (auto &a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  CaptureStdout();
  CaptureStderr();
  int exec_error = -1;
  int status = run_cmd_detached(prog.c_str(), argv.data(), &exec_error);
  std::string out = GetCapturedStdout();
  std::string err = GetCapturedStderr();
  EXPECT_EQ(status, 0);
  EXPECT_EQ(exec_error, 0);
  EXPECT_EQ(cmd_runner::launcher_error(prog.c_str()), 0);
  EXPECT_EQ(out, "");
  EXPECT_EQ(err, "");
  // The intermediate child is reaped; nothing else is ours to wait for.
  errno = 0;
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);

  ASSERT_TRUE(eventually([&] { return exists(dir / "pid"); }, 10, 20));
  int pid = std::stoi(read_file(dir / "pid"));
  EXPECT_TRUE(pid_alive(pid));
  EXPECT_NE(parent_of(pid), getpid());
  write_file(dir / "go", "");
  EXPECT_TRUE(eventually([&] { return exists(dir / "done"); }, 10, 20));
  EXPECT_EQ(read_file(dir / "args"), "[a b]\n[c'd]\n[]\n");
}

TEST(RunCmdDetached, ProgramOutlivesTheCaller) {
  TempDir dir;
  write_waiting_program(dir);
  ProcResult r = run_process({tool_path("runner_tool"), "detached", dir / "prog", "x"});
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "pending;status 0\nexit handlers ran\n");
  // The caller has ended; the program is still waiting and finishes on its own.
  ASSERT_TRUE(eventually([&] { return exists(dir / "pid"); }, 10, 20));
  int pid = std::stoi(read_file(dir / "pid"));
  EXPECT_TRUE(pid_alive(pid));
  EXPECT_FALSE(exists(dir / "done"));
  write_file(dir / "go", "");
  EXPECT_TRUE(eventually([&] { return exists(dir / "done"); }, 10, 20));
}

// The caller still gets 0 (the intermediate child did its part); the program
// that could not start says why and ends as a shell would. A subreaper child
// adopts it, so its status can be seen.
TEST(RunCmdDetached, UnrunnablePathIsNamedAndEndsWithTheShellsStatus) {
  TempDir dir;
  write_file(dir / "not-executable", "#!/bin/sh\n");
  const struct {
    std::string path;
    int status;
    std::string reason;
  } rows[] = {{"/nonexistent/program", 127, "No such file or directory"},
              {"no-such-program-anywhere", 127, "No such file or directory"},
              {dir / "not-executable", 126, "Permission denied"}};
  for (const auto &row : rows) {
    SCOPED_TRACE(row.path);
    ProcResult r = run_in_child([&] {
      prctl(PR_SET_CHILD_SUBREAPER, 1);
      std::string path = row.path;
      std::vector<char *> argv = {path.data(), nullptr};
      int err = -1;
      int caller = run_cmd_detached(path.c_str(), argv.data(), &err);
      int adopted = 0;
      while (wait(&adopted) < 0 && errno == EINTR) {
      }
      std::printf("caller %d, %s, program %d\n", caller, std::strerror(err),
                  WIFEXITED(adopted) ? WEXITSTATUS(adopted) : -1);
      return 0;
    });
    EXPECT_EQ(r.out, "caller 0, " + row.reason + ", program " + std::to_string(row.status) + "\n");
    EXPECT_EQ(cmd_runner::launcher_error(row.path.c_str()), row.status == 127 ? ENOENT : EACCES);
    EXPECT_EQ(r.err, "错误：无法启动 " + row.path + ": " + row.reason + "\n");
  }
}

} // namespace

// What Wine says when it cannot do what it was asked: the first line that is
// none of its debug messages.
TEST(WineOutput, FirstErrorLineSkipsDebugMessages) {
  const struct {
    std::string text, line;
  } rows[] = {
      {"", ""},
      {"\n  \n", ""},
      {"0024:fixme:ntdll:x\n0030:err:ole:y\nwine: '/p' is not owned by you\n",
       "wine: '/p' is not owned by you"},
      {"fixme:a\nwarn:b\r\nApplication could not be started.\r\nShellExecuteEx failed\n",
       "Application could not be started."},
      {"reg: Invalid system key", "reg: Invalid system key"},
      {"xyz:fixme:x\n", "xyz:fixme:x"}, // no thread id: an ordinary line
  };
  for (const auto &row : rows)
    EXPECT_EQ(output_capture::first_error_line(row.text), row.line) << row.text;

  // A command's output, kept and handed on to stderr whatever its size.
  output_capture::File out;
  ASSERT_GE(out.fd(), 0);
  const char *const args[] = {"-c", "'echo 0024:fixme:x; echo wine: no; head -c 70000 /dev/zero'",
                              nullptr};
  CaptureStdout();
  CaptureStderr();
  int status = run_cmd_sync("sh", args, out.fd());
  std::string text = out.finish();
  GetCapturedStdout();
  std::string err = GetCapturedStderr();
  EXPECT_EQ(status, 0);
  EXPECT_EQ(text.size(), output_capture::File::kMax);
  EXPECT_EQ(err.size(), output_capture::File::kMax);
  EXPECT_EQ(output_capture::first_error_line(text), "wine: no");
}

// Wine refuses a prefix folder of another user before it runs anything.
TEST(WineOutput, PrefixOfAnotherUserIsRefusedAsWineSaysIt) {
  TempDir dir;
  make_dirs(dir / "p");
  EXPECT_EQ(prefix_path::wine_refusal(dir / "p"), "");
  EXPECT_EQ(prefix_path::wine_refusal(dir / "missing"), "");
  if (getuid() != 0)
    GTEST_SKIP() << "handing a folder to another user needs root";
  ASSERT_EQ(chown((dir / "p").c_str(), 4321, 4321), 0);
  EXPECT_EQ(prefix_path::wine_refusal(dir / "p/"), "wine: '" + dir / "p" + "' is not owned by you");
}

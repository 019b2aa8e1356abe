#include "test_support.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <thread>

using namespace testsupport;

namespace {

ProcOptions base_options(const TempDir &dir) {
  ProcOptions o;
  o.env["HOME"] = dir.path();
  o.env["WINEPREFIX"] = dir / "prefix";
  o.env["MULTI_THREAD_NUM"] = std::nullopt;
  o.timeout_s = 30;
  return o;
}

TEST(StartupProcess, RefusedArgumentShapesPrintNothing) {
  TempDir dir;
  for (std::vector<std::string> args :
       {std::vector<std::string>{}, {"--"}, {"--help"}, {"--version"}}) {
    std::vector<std::string> argv{helper_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcOptions o = base_options(dir);
    o.env["DISPLAY"] = std::nullopt;
    ProcResult r = run_process(argv, o);
    EXPECT_EQ(r.status, 171) << argv.size();
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
  }
}

// Starts the helper under the test's X server, closes its window once it is
// mapped, and returns what the helper printed.
ProcResult run_and_close(const std::vector<std::string> &args, ProcOptions o) {
  std::vector<std::string> argv{helper_path()};
  argv.insert(argv.end(), args.begin(), args.end());
  o.while_running = [](int, void *) {
    std::thread([] {
      run_process({tool_path("xwin"), "close", "wine辅助程序", "20000"});
    }).detach();
  };
  return run_process(argv, o);
}

TEST(StartupProcess, SysBlockWithOneLineLauncherAndWindowClosesWithZero) {
  SKIP_WITHOUT_DISPLAY();
  TempDir dir;
  write_script(dir / "launcher", "echo \"wine-9.9 (test)\"\n");
  make_dirs(dir / "prefix");
  write_file(dir / "prefix/user.reg",
             "[Control Panel\\\\Desktop] 1\n\"LogPixels\"=dword:00000090\n");
  ProcOptions o = base_options(dir);
  o.env["WINE_APP"] = dir / "launcher";
  ProcResult r = run_and_close({"-v"}, o);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, StartsWith("sys:\nsysname: Linux\nnodename: "));
  EXPECT_THAT(r.out, HasSubstr("\nmachine: "));
  EXPECT_THAT(r.out, HasSubstr("\nnivra-wine version: wine-9.9 (test)\n\n"));
  EXPECT_THAT(r.out, HasSubstr("解析到DPI: 144\n"));
}

TEST(StartupProcess, SilentLauncherGivesFailedVersionLine) {
  SKIP_WITHOUT_DISPLAY();
  TempDir dir;
  write_script(dir / "launcher", "exit 0\n");
  ProcOptions o = base_options(dir);
  o.env["WINE_APP"] = dir / "launcher";
  ProcResult r = run_and_close({"prog.exe", "arg"}, o);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, StartsWith("Failed to get Wine version.\nsys:\nsysname: "));
  EXPECT_THAT(r.out, Not(HasSubstr("nivra-wine version")));
}

TEST(StartupProcess, OverlongLauncherPathIsRefused) {
  TempDir dir;
  ProcOptions o = base_options(dir);
  o.env["WINE_APP"] = "/" + std::string(PATH_MAX - 1, 'w');
  o.env["DISPLAY"] = std::nullopt;
  ProcResult r = run_process({helper_path(), "prog.exe"}, o);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_THAT(r.err, StartsWith("错误："));
}

TEST(StartupProcess, DefaultLauncherIsNextToTheProgram) {
  TempDir dir;
  // A copy of the program with a launcher script beside it.
  make_dirs(dir / "app/bin");
  std::string copy = dir / "app/bin/nivra-wine-helper";
  ASSERT_EQ(run_process({"cp", helper_path(), copy}).status, 0);
  write_script(dir / "app/bin/nivra-wine-internal", "echo \"launcher beside $0\"\n");
  // Set but empty, as a desktop file writes an unset variable, is unset.
  for (std::optional<std::string> wine_app : {std::optional<std::string>(), {""}}) {
    ProcOptions o = base_options(dir);
    o.env["WINE_APP"] = wine_app;
    o.env["DISPLAY"] = std::nullopt; // GTK cannot start; the version block comes first
    ProcResult r = run_process({copy, "prog.exe"}, o);
    EXPECT_THAT(r.out, HasSubstr("nivra-wine version: launcher beside " + dir.path() +
                                 "/app/bin/nivra-wine-internal\n"))
        << (wine_app ? "empty" : "unset");
  }
}

TEST(StartupProcess, LauncherPathWithShellCharactersRunsNothingElse) {
  TempDir dir;
  std::string odd = dir / "my wine $(touch pwned) `touch pwned2`;x";
  write_script(odd, "echo odd-launcher\n");
  ProcOptions o = base_options(dir);
  o.env["WINE_APP"] = odd;
  o.env["DISPLAY"] = std::nullopt;
  o.cwd = dir.path();
  ProcResult r = run_process({helper_path(), "prog.exe"}, o);
  EXPECT_THAT(r.out, HasSubstr("nivra-wine version: odd-launcher\n"));
  EXPECT_FALSE(exists(dir / "pwned"));
  EXPECT_FALSE(exists(dir / "pwned2"));
}

} // namespace

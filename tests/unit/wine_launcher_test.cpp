// The launcher's choice of Wine loader, with stand-in loaders that print what
// they were given, and the kernel probe the set-up and the tests share.
#include "launcher/wine_launcher.hpp"
#include "test_support.hpp"
#include "wine_env.hpp"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

using namespace testsupport;

namespace {

// A PE file's first bytes: MZ, the PE header at 0x40, its machine field.
std::string pe_file(char machine_low, char machine_high) {
  std::string bytes(0x40, '\0');
  bytes[0] = 'M', bytes[1] = 'Z', bytes[0x3c] = 0x40;
  return bytes + std::string("PE\0\0", 4) + machine_low + machine_high;
}

TEST(WineLauncher, StartsTheLoaderTheKernelRunsWithWinesDefaults) {
  TempDir dir;
  for (const char *name : {"loader32", "loader64", "system"})
    write_script(dir / name, std::string("printf '%s|' ") + name +
                                 " \"$@\" \"${WINEDEBUG-unset}\" \"${WINELOADER-unset}\"\n"
                                 "exit " +
                                 std::to_string(std::string(name).size()) + "\n");
  // Executable, but no format the kernel runs: execve says ENOEXEC, as a
  // kernel without 32-bit emulation says for an i386 program.
  write_file(dir / "refused", std::string("\x7f"
                                          "ELF\x09\x09\0\0",
                                          8));
  std::filesystem::permissions(dir / "refused", std::filesystem::perms::owner_all);
  make_dirs(dir / "prefix/drive_c");
  make_dirs(dir / "prefix/dosdevices");
  std::filesystem::create_directory_symlink("../drive_c", dir / "prefix/dosdevices/c:");
  write_file(dir / "prefix/drive_c/x86.exe", pe_file('\x4c', '\x01'));
  write_file(dir / "x64.exe", pe_file('\x64', '\x86'));
  const std::string kLine = "this kernel runs no 32-bit programs, so Wine cannot start ";
  const std::optional<std::string> unset;
  const struct {
    const char *what;
    std::string loader32, loader64, system;
    std::optional<std::string> debug, loader;
    std::vector<std::string> args;
    std::string out, err;
    int status;
  } rows[] = {
      {"32-bit loader absent: the system's wine, environment untouched",
       dir / "none",
       dir / "loader64",
       dir / "system",
       unset,
       unset,
       {"a b", "", "$x"},
       "system|a b||$x|unset|unset|",
       "",
       6},
      {"32-bit loader runs",
       dir / "loader32",
       dir / "loader64",
       dir / "system",
       unset,
       unset,
       {"x.exe", "/c"},
       "loader32|x.exe|/c|fixme-all|unset|",
       "",
       8},
      {"32-bit loader runs, WINEDEBUG kept",
       dir / "loader32",
       dir / "loader64",
       dir / "system",
       "+relay",
       unset,
       {},
       "loader32|+relay|unset|",
       "",
       8},
      {"32-bit loader refused: the 64-bit one, no hint",
       dir / "refused",
       dir / "loader64",
       dir / "system",
       "",
       unset,
       {"a b"},
       "loader64|a b|fixme-all|" + dir / "loader64" + "|",
       "",
       8},
      {"refused, the user's WINEDEBUG and WINELOADER kept",
       dir / "refused",
       dir / "loader64",
       dir / "system",
       "-all",
       "/opt/w",
       {"--version"},
       "loader64|--version|-all|/opt/w|",
       "",
       8},
      {"refused, an i386 program by its Unix path",
       dir / "refused",
       dir / "loader64",
       dir / "system",
       "-all",
       "/w",
       {dir / "prefix/drive_c/x86.exe"},
       "loader64|" + dir / "prefix/drive_c/x86.exe" + "|-all|/w|",
       kLine + dir / "prefix/drive_c/x86.exe",
       8},
      {"refused, an i386 program by its drive path",
       dir / "refused",
       dir / "loader64",
       dir / "system",
       "-all",
       "/w",
       {"c:\\x86.exe"},
       "loader64|c:\\x86.exe|-all|/w|",
       kLine + "c:\\x86.exe",
       8},
      {"refused, an amd64 program",
       dir / "refused",
       dir / "loader64",
       dir / "system",
       "-all",
       "/w",
       {dir / "x64.exe"},
       "loader64|" + dir / "x64.exe" + "|-all|/w|",
       "",
       8},
      {"refused, no 64-bit loader",
       dir / "refused",
       dir / "none",
       dir / "system",
       unset,
       unset,
       {},
       "",
       "nivra-wine-internal: cannot run " + dir / "none",
       127},
      {"neither loader nor system wine",
       dir / "none",
       dir / "none",
       dir / "none",
       unset,
       unset,
       {},
       "",
       "nivra-wine-internal: cannot run " + dir / "none",
       127},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    ProcResult r = run_in_child([&] {
      setenv("WINEPREFIX", (dir / "prefix").c_str(), 1);
      row.debug ? setenv("WINEDEBUG", row.debug->c_str(), 1) : unsetenv("WINEDEBUG");
      row.loader ? setenv("WINELOADER", row.loader->c_str(), 1) : unsetenv("WINELOADER");
      std::vector<char *> argv{const_cast<char *>("nivra-wine-internal")};
      for (const auto &a : row.args)
        argv.push_back(const_cast<char *>(a.c_str()));
      argv.push_back(nullptr);
      return wine_launcher::exec_wine(
          {row.loader32.c_str(), row.loader64.c_str(), row.system.c_str()}, argv.data());
    });
    EXPECT_EQ(r.out, row.out);
    EXPECT_EQ(r.status, row.status);
    EXPECT_THAT(r.err,
                row.err.empty() ? testing::Matcher<std::string>(IsEmpty()) : HasSubstr(row.err));
  }
}

// The probe must give a definite answer, and the kernel's answer for Wine's
// own 32-bit loader when wine32 is installed.
TEST(KernelProbe, AgreesWithWines32BitLoader) {
  bool runs = wine::kernel_runs_32bit();
  if (access("/usr/lib/wine/wine", X_OK) != 0)
    GTEST_SKIP() << "wine32 is not installed: no 32-bit program to compare with";
  ProcResult r = run_process({"/usr/lib/wine/wine", "--version"});
  EXPECT_EQ(r.status == 0, runs) << r.err;
}

} // namespace

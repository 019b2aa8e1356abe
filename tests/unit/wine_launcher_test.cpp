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
  for (auto [name, status] : {std::pair{"w32", 32}, {"w64", 64}, {"sys", 9}})
    write_script(dir / name, std::string("printf '%s|' ") + name +
                                 " \"$@\" \"${WINEDEBUG--}\" \"${WINELOADER--}\"\nexit " +
                                 std::to_string(status));
  // Executable, but in no format the kernel runs: execve says ENOEXEC, as a
  // kernel without 32-bit emulation says for an i386 program.
  write_file(dir / "bad", "no program");
  std::filesystem::permissions(dir / "bad", std::filesystem::perms::owner_all);
  make_dirs(dir / "prefix/drive_c");
  make_dirs(dir / "prefix/dosdevices");
  std::filesystem::create_directory_symlink("../drive_c", dir / "prefix/dosdevices/c:");
  write_file(dir / "prefix/drive_c/x86.exe", pe_file('\x4c', '\x01'));
  write_file(dir / "x64.exe", pe_file('\x64', '\x86'));
  const std::string w64 = dir / "w64", x64 = dir / "x64.exe";
  const struct {
    const char *loader32, *loader64, *debug, *wineloader; // nullptr: unset
    std::vector<std::string> args;
    std::string out, err;
    int status;
  } rows[] = {
      // 32-bit loader absent: the system's wine, environment untouched.
      {"none", "w64", nullptr, nullptr, {"a b", "", "$x"}, "sys|a b||$x|-|-|", "", 9},
      {"w32", "w64", nullptr, nullptr, {"x.exe"}, "w32|x.exe|fixme-all|-|", "", 32},
      // Refused: the 64-bit loader as wine without wine32, minus its hint.
      {"bad", "w64", "", nullptr, {"a b"}, "w64|a b|fixme-all|" + w64 + "|", "", 64},
      {"bad",
       "w64",
       "-all",
       "/w",
       {"c:\\x86.exe"},
       "w64|c:\\x86.exe|-all|/w|",
       "runs no 32-bit programs, so Wine cannot start c:\\x86.exe (",
       64},
      {"bad", "w64", "+x", nullptr, {x64}, "w64|" + x64 + "|+x|" + w64 + "|", "", 64},
      {"bad", "none", nullptr, nullptr, {}, "", "internal: cannot run " + dir / "none", 127},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.out + row.err);
    ProcResult r = run_in_child([&] {
      setenv("WINEPREFIX", (dir / "prefix").c_str(), 1);
      row.debug ? setenv("WINEDEBUG", row.debug, 1) : unsetenv("WINEDEBUG");
      row.wineloader ? setenv("WINELOADER", row.wineloader, 1) : unsetenv("WINELOADER");
      std::vector<char *> argv{const_cast<char *>("nivra-wine-internal")};
      for (const auto &a : row.args)
        argv.push_back(const_cast<char *>(a.c_str()));
      argv.push_back(nullptr);
      const std::string w32 = dir / row.loader32, w64 = dir / row.loader64, sys = dir / "sys";
      return wine_launcher::exec_wine({w32.c_str(), w64.c_str(), sys.c_str()}, argv.data());
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

#pragma once
// Real Wine for tests (Debian's wine, wineboot and wineserver on PATH).
//
// A template prefix is made once per build folder, at
// <build>/wine-test-prefix, by `wineboot -i` (mscoree and mshtml left out);
// a lock and a build-then-rename make concurrent and repeated test processes
// share it safely. Tests never run Wine in the template: each makes a private
// TestPrefix, a copy whose large read-only DLLs are hard links (real copies
// when the copy is on another file system), and the copy's destructor runs
// `wineserver -k` for it. Processes a test starts with spawn()
// are ended with stop(). Failures throw std::runtime_error: a missing Wine is
// an error, never a reason to skip.
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testsupport::wine {

// The wine launcher found along PATH; throws when Wine is not installed.
std::string launcher();

// Whether this kernel runs 32-bit (i386) programs, asked once with the
// set-up's own probe (scripts/probe-32bit.sh); throws when it cannot tell.
// Rows that need Wine's 32-bit half skip with the reason where it is false.
bool kernel_runs_32bit();

// The shared template prefix, made on first use (may take a minute).
const std::string &template_prefix();

// Variables for running Wine in prefix: WINEPREFIX, WINEDEBUG=-all and the
// DLL overrides the template was made with. Usable as ProcOptions::env.
std::map<std::string, std::optional<std::string>> env_for(const std::string &prefix);

// A private copy of the template at path (which must not exist yet).
class TestPrefix {
public:
  explicit TestPrefix(std::string path);
  ~TestPrefix(); // kill_server(path); the files stay for their owner to remove
  TestPrefix(const TestPrefix &) = delete;
  TestPrefix &operator=(const TestPrefix &) = delete;
  const std::string &path() const { return path_; }
  std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
  std::string path_;
};

// Runs `wineserver -k` for prefix and waits until none of its Windows
// processes is left (at most a few seconds).
void kill_server(const std::string &prefix);

// Live processes that run Windows code (map ntdll.dll) with WINEPREFIX=prefix.
std::vector<int> windows_pids(const std::string &prefix);

// The command line of a process, arguments joined by blanks; empty when gone.
std::string command_line(int pid);

// Starts `/bin/sh -c script` with env_for(prefix) in cwd, in a process group
// of its own, output discarded; returns its pid (the group's id).
int spawn(const std::string &script, const std::string &prefix, const std::string &cwd);

// Kills the process group started by spawn and reaps its leader.
void stop(int pid);

} // namespace testsupport::wine

#pragma once
// Helpers shared by the test programs: temporary folders, files, environment
// overrides and running child processes with captured output.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

// Capturing what the code under test prints, as every test file does.
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

// GoogleMock's matchers, which print what they saw when they fail.
using testing::ElementsAre;
using testing::EndsWith;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::Not;
using testing::StartsWith;
using testing::Value;

// A fresh folder under /tmp, removed with everything in it at the end.
class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
  std::string path_;
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);
// Writes an executable shell script.
void write_script(const std::string &path, const std::string &body);

// A stand-in for the Wine launcher at path: for each first argument in answers
// (a shell case pattern, "*" for any other), in order, the commands it runs.
void write_launcher(const std::string &path,
                    const std::vector<std::pair<std::string, std::string>> &answers);
// Commands for its answers: noting the arguments, each as "<arg>", in file
// (after what it holds, with append); and storing the value of `reg add ... /d VALUE` in the
// user.reg that the shell word names, as Wine's reg and server do.
std::string note_args(const std::string &file, bool append);
std::string store_dpi(const std::string &user_reg);

// Skips the test where no X server is there for the program's window.
#define SKIP_WITHOUT_DISPLAY()                                                                     \
  if (!std::getenv("DISPLAY"))                                                                     \
  GTEST_SKIP() << "needs an X server"
bool exists(const std::string &path);
void make_dirs(const std::string &path);
void remove_tree(const std::string &path);

// Sets (or, with nullopt, unsets) one environment variable until destroyed.
class ScopedEnv {
public:
  ScopedEnv(const char *name, std::optional<std::string> value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv &) = delete;
  ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
  std::string name_;
  std::optional<std::string> old_;
};

// Changes the working folder until destroyed.
class ScopedCwd {
public:
  explicit ScopedCwd(const std::string &dir);
  ~ScopedCwd();
  ScopedCwd(const ScopedCwd &) = delete;
  ScopedCwd &operator=(const ScopedCwd &) = delete;

private:
  char *old_;
};

struct ProcResult {
  int status = -1; // exit code, or 128 + signal
  bool timed_out = false;
  std::string out;
  std::string err;
};

struct ProcOptions {
  // Variables to set (value) or remove (nullopt) for the child.
  std::map<std::string, std::optional<std::string>> env;
  std::string cwd;
  double timeout_s = 60;
  std::string stdin_text;
  // Run while the child runs, after it has been started; gets its pid.
  void (*while_running)(int pid, void *ctx) = nullptr;
  void *ctx = nullptr;
};

// Runs argv[0] (searched along PATH) and collects its output; the child and
// everything in its process group are killed on timeout.
ProcResult run_process(const std::vector<std::string> &argv, const ProcOptions &opts = {});

// Exit status of a child that was to give up root and could not.
constexpr int kNoUnprivilegedUser = 77;

// Runs body in a forked child of this process and collects its output; body's
// result is the child's exit status. With unprivileged set, a child running as
// root first becomes nobody (uid and gid 65534), or exits kNoUnprivilegedUser.
ProcResult run_in_child(const std::function<int()> &body, bool unprivileged = false);

// Asks pred every poll_ms until it holds or seconds have passed; its last answer.
bool eventually(const std::function<bool()> &pred, double seconds, int poll_ms = 100);

// Length of a log record's prefix: "YYYYMMDD HH:MM:SS.mmm INFO     nivra-wine- ".
constexpr std::size_t kRecordPrefix = 43;

// True when a record's prefix, of that shape, starts at s[at].
bool record_starts_at(const std::string &s, std::size_t at);

// Paths of the build.
std::string helper_path();
std::string tool_path(const std::string &name);
std::string source_dir();
std::string build_dir();

// The build may lie where another user cannot reach it (under a folder of mode
// 0700, or root's home): a copy of the tool, laid out in dir as installed (bin/
// and the icon's desktop/), for a test that runs it as that user. dir must be
// one the user can reach. Returns the copy's path.
std::string tool_copy_in(const std::string &dir, const std::string &name);

// True when every process id in the text is gone.
bool pid_alive(int pid);

// Copies the hold_files tool to dir/ntdll.dll: a process that maps a file of
// that name, as every process running Windows code does. Returns the copy.
std::string windows_like_holder(const std::string &dir);

// A running hold_files (or a copy of it) holding cwd, an open file and a
// mapped file ("" leaves one out); ready when constructed, killed and reaped
// when destroyed.
class FileHolder {
public:
  FileHolder(const std::string &program, const std::string &cwd, const std::string &open,
             const std::string &map);
  ~FileHolder();
  FileHolder(const FileHolder &) = delete;
  FileHolder &operator=(const FileHolder &) = delete;
  int pid() const { return pid_; }
  // Kills it without reaping: a process that has ended but is still listed.
  void make_zombie();

private:
  int pid_ = -1;
};

} // namespace testsupport

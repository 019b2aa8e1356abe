#include "test_support.hpp"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace testsupport {

TempDir::TempDir() {
  char tmpl[] = "/tmp/nivra-test-XXXXXX";
  if (!mkdtemp(tmpl))
    throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() { remove_tree(path_); }

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_file(const std::string &path, const std::string &content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

void write_script(const std::string &path, const std::string &body) {
  write_file(path, "#!/bin/sh\n" + body);
  chmod(path.c_str(), 0755);
}

void write_launcher(const std::string &path,
                    const std::vector<std::pair<std::string, std::string>> &answers) {
  std::string body = "case \"$1\" in\n";
  for (const auto &[first, commands] : answers)
    body += first + ") " + commands + " ;;\n";
  write_script(path, body + "esac\n");
}

std::string note_args(const std::string &file, bool append) {
  return "printf '<%s>' \"$@\" " + std::string(append ? ">>" : ">") + " '" + file + "'";
}

std::string store_dpi(const std::string &user_reg) {
  return "printf '[Control Panel\\\\\\\\Desktop] 2\\n\"LogPixels\"=dword:%08x\\n' \"$9\" > " +
         user_reg;
}

bool exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

void make_dirs(const std::string &path) { fs::create_directories(path); }

void remove_tree(const std::string &path) {
  std::error_code ec;
  // Restore permissions that tests took away, so everything can go.
  for (auto it = fs::recursive_directory_iterator(
           path, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec))
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path, ec);
}

ScopedEnv::ScopedEnv(const char *name, std::optional<std::string> value) : name_(name) {
  if (const char *old = std::getenv(name))
    old_ = old;
  if (value)
    setenv(name, value->c_str(), 1);
  else
    unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
  if (old_)
    setenv(name_.c_str(), old_->c_str(), 1);
  else
    unsetenv(name_.c_str());
}

ScopedCwd::ScopedCwd(const std::string &dir) : old_(getcwd(nullptr, 0)) {
  if (chdir(dir.c_str()) != 0)
    throw std::runtime_error("chdir failed");
}

ScopedCwd::~ScopedCwd() {
  if (chdir(old_) != 0)
    std::perror("chdir back");
  std::free(old_);
}

namespace {

// Reads both pipes to their end, or until the deadline; false on the deadline.
bool read_output(int out_fd, int err_fd, ProcResult &r,
                 std::chrono::steady_clock::time_point deadline) {
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  int open_fds = 2;
  char buf[65536];
  bool in_time = true;
  while (open_fds > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) {
      in_time = false;
      break;
    }
    int n = poll(fds, 2, static_cast<int>(std::min<long long>(left, 60000)));
    if (n < 0 && errno == EINTR)
      continue;
    for (auto &p : fds) {
      if (p.fd < 0 || !(p.revents & (POLLIN | POLLHUP | POLLERR)))
        continue;
      ssize_t got = read(p.fd, buf, sizeof(buf));
      if (got > 0) {
        (p.fd == out_fd ? r.out : r.err).append(buf, static_cast<size_t>(got));
      } else {
        close(p.fd);
        p.fd = -1;
        --open_fds;
      }
    }
  }
  for (auto &p : fds)
    if (p.fd >= 0)
      close(p.fd);
  return in_time;
}

int exit_code(int status) {
  if (WIFEXITED(status))
    return WEXITSTATUS(status);
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

} // namespace

ProcResult run_process(const std::vector<std::string> &argv, const ProcOptions &opts) {
  int out_pipe[2], err_pipe[2], in_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) || pipe2(err_pipe, O_CLOEXEC) || pipe2(in_pipe, O_CLOEXEC))
    throw std::runtime_error("pipe failed");
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    for (const auto &[name, value] : opts.env) {
      if (value)
        setenv(name.c_str(), value->c_str(), 1);
      else
        unsetenv(name.c_str());
    }
    if (!opts.cwd.empty() && chdir(opts.cwd.c_str()) != 0)
      _exit(126);
    std::vector<char *> args;
    for (const auto &a : argv)
      args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  setpgid(pid, pid);
  close(out_pipe[1]);
  close(err_pipe[1]);
  close(in_pipe[0]);
  if (!opts.stdin_text.empty()) {
    ssize_t w = write(in_pipe[1], opts.stdin_text.data(), opts.stdin_text.size());
    (void)w;
  }
  close(in_pipe[1]);
  if (opts.while_running)
    opts.while_running(pid, opts.ctx);

  ProcResult r;
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(static_cast<long>(opts.timeout_s * 1000));
  int status = 0;
  if (!read_output(out_pipe[0], err_pipe[0], r, deadline)) {
    r.timed_out = true;
    kill(-pid, SIGKILL);
    waitpid(pid, &status, 0);
  } else {
    // The output may close before the child ends; give it the rest of the time.
    while (waitpid(pid, &status, WNOHANG) != pid) {
      if (std::chrono::steady_clock::now() > deadline) {
        r.timed_out = true;
        kill(-pid, SIGKILL);
        waitpid(pid, &status, 0);
        break;
      }
      usleep(10000);
    }
  }
  r.status = exit_code(status);
  return r;
}

ProcResult run_in_child(const std::function<int()> &body, bool unprivileged) {
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) || pipe2(err_pipe, O_CLOEXEC))
    throw std::runtime_error("pipe failed");
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out_pipe[1], STDOUT_FILENO);
    dup2(err_pipe[1], STDERR_FILENO);
    if (unprivileged && geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
      _exit(kNoUnprivilegedUser);
    int rc = body();
    std::fflush(nullptr);
    _exit(rc);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  ProcResult r;
  read_output(out_pipe[0], err_pipe[0], r, std::chrono::steady_clock::time_point::max());
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  r.status = exit_code(status);
  return r;
}

bool eventually(const std::function<bool()> &pred, double seconds, int poll_ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(long(seconds * 1000));
  while (std::chrono::steady_clock::now() < end) {
    if (pred())
      return true;
    usleep(static_cast<useconds_t>(poll_ms) * 1000);
  }
  return pred();
}

bool record_starts_at(const std::string &s, std::size_t at) {
  static const char shape[] = "dddddddd dd:dd:dd.ddd INFO     nivra-wine- ";
  if (at > s.size() || s.size() - at < kRecordPrefix)
    return false;
  for (std::size_t i = 0; i < kRecordPrefix; ++i) {
    const char want = shape[i];
    const char got = s[at + i];
    if (want == 'd' ? (got < '0' || got > '9') : got != want)
      return false;
  }
  return true;
}

std::string helper_path() { return NIVRA_HELPER_PATH; }
std::string tool_path(const std::string &name) { return std::string(NIVRA_TOOLS_DIR) + "/" + name; }

std::string tool_copy_in(const std::string &dir, const std::string &name) {
  const std::string copy = dir + "/bin/" + name;
  make_dirs(dir + "/bin");
  fs::copy_file(tool_path(name), copy);
  fs::copy(std::string(NIVRA_STAGE_DIR) + "/desktop", dir + "/desktop",
           fs::copy_options::recursive);
  // Whatever the umask: readable by all, and what can be run or entered, by all.
  using fs::perms;
  auto open_up = [](const fs::path &path) {
    const bool enters = fs::is_directory(path) ||
                        (fs::status(path).permissions() & perms::owner_exec) != perms::none;
    fs::permissions(path,
                    perms::group_read | perms::others_read |
                        (enters ? perms::group_exec | perms::others_exec : perms::none),
                    fs::perm_options::add);
  };
  open_up(dir);
  for (const auto &entry : fs::recursive_directory_iterator(dir))
    open_up(entry.path());
  return copy;
}
std::string source_dir() { return NIVRA_SOURCE_DIR; }
std::string build_dir() { return NIVRA_BUILD_DIR; }

bool pid_alive(int pid) {
  if (kill(pid, 0) != 0)
    return false;
  // A zombie still answers kill(0); it has ended all the same.
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  auto close = text.rfind(')');
  return close == std::string::npos || close + 2 >= text.size() || text[close + 2] != 'Z';
}

std::string windows_like_holder(const std::string &dir) {
  std::string copy = dir + "/ntdll.dll";
  ProcResult r = run_process({"cp", tool_path("hold_files"), copy});
  if (r.status != 0)
    throw std::runtime_error("cannot copy hold_files: " + r.err);
  return copy;
}

FileHolder::FileHolder(const std::string &program, const std::string &cwd, const std::string &open,
                       const std::string &map) {
  auto arg = [](const std::string &s) { return s.empty() ? "-" : s.c_str(); };
  int ready[2];
  if (pipe(ready) != 0)
    throw std::runtime_error("pipe failed");
  std::fflush(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(ready[1], 1);
    close(ready[0]);
    close(ready[1]);
    execl(program.c_str(), program.c_str(), arg(cwd), arg(open), arg(map),
          static_cast<char *>(nullptr));
    _exit(127);
  }
  close(ready[1]);
  char line[16] = {};
  ssize_t n = pid_ > 0 ? read(ready[0], line, sizeof(line) - 1) : -1;
  close(ready[0]);
  if (n <= 0 || std::string(line) != "ready\n") {
    int status = 0;
    if (pid_ > 0)
      waitpid(pid_, &status, 0);
    throw std::runtime_error(program + " did not get ready, status " + std::to_string(status));
  }
}

FileHolder::~FileHolder() {
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

void FileHolder::make_zombie() {
  kill(pid_, SIGKILL);
  eventually([&] { return !pid_alive(pid_); }, 5, 10);
}

} // namespace testsupport

int main(int argc, char **argv) {
  testing::InitGoogleTest(&argc, argv);
  // The window's texts as the sources write them, whatever the machine's language, for
  // this process and the programs it starts; a test of another language sets its own.
  setenv("LC_ALL", "C.UTF-8", 1);
  unsetenv("LANGUAGE");
  if (std::strcmp(NIVRA_TEST_KIND, "gui") == 0) {
    // Listing the tests needs no display; running them does.
    if (!GTEST_FLAG_GET(list_tests) && !gtk_init_check(&argc, &argv)) {
      std::fprintf(stderr, "GUI tests need an X server: run them under xvfb-run\n");
      return 1;
    }
  }
  return RUN_ALL_TESTS();
}

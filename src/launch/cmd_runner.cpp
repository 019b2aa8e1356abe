#include "launch/cmd_runner.hpp"

#include "util/bounded.hpp"
#include "util/shell_quote.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Waits for exactly pid; returns its wait status, or -1.
int wait_for(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR)
      return -1;
  }
  return status;
}

// The detached program could not be started: nobody waits for this process,
// so its line on stderr is all the user gets. Statuses as a shell gives them.
// One write, no stdio: the parent's stdio locks may be held by another thread.
[[noreturn]] void exec_failed(const char *path, int err) {
  char line[1024];
  int n = std::snprintf(line, sizeof(line), "错误：无法启动 %s: %s\n", path, std::strerror(err));
  if (n > 0) {
    std::size_t len = std::min(static_cast<std::size_t>(n), sizeof(line) - 1);
    line[len - 1] = '\n';
    ssize_t rc = write(STDERR_FILENO, line, len);
    (void)rc;
  }
  _exit(err == ENOENT || err == ENOTDIR ? 127 : 126);
}

void send_errno(int fd, int err) {
  if (fd < 0)
    return;
  ssize_t rc = write(fd, &err, sizeof(err));
  (void)rc;
}

// What send_errno wrote, or 0 at end-of-file: the exec went through. Closes fd.
int receive_errno(int fd) {
  if (fd < 0)
    return 0;
  int err = 0;
  ssize_t n;
  while ((n = read(fd, &err, sizeof(err))) < 0 && errno == EINTR) {
  }
  close(fd);
  return n == static_cast<ssize_t>(sizeof(err)) ? err : 0;
}

void output_to(int out_fd) {
  if (out_fd < 0)
    return;
  dup2(out_fd, STDOUT_FILENO);
  dup2(out_fd, STDERR_FILENO);
}

void close_both(int (&fds)[2]) {
  for (int fd : fds)
    if (fd >= 0)
      close(fd);
}

} // namespace

namespace cmd_runner {

bool build_cmd_line(const char *cmd, const char *const args[], char (&line)[kLineSize]) {
  std::string launcher = shell_quote::quote_if_needed(cmd ? cmd : "");
  line[0] = '\0';
  if (launcher.size() > kMaxLine)
    return false;
  // One byte less than the buffer, so the line stops at kMaxLine characters.
  constexpr std::size_t room = kMaxLine + 1;
  std::size_t len = 0;
  bounded::append(line, room, &len, "%s", launcher.c_str());
  for (const char *const *arg = args; arg && *arg && len < kMaxLine; ++arg)
    bounded::append(line, room, &len, " %s", *arg);
  return true;
}

std::size_t full_cmd_line_length(const char *cmd, const char *const args[]) {
  std::size_t len = shell_quote::quote_if_needed(cmd ? cmd : "").size();
  for (const char *const *arg = args; arg && *arg; ++arg)
    len += 1 + std::strlen(*arg);
  return len;
}

int launcher_error(const char *path) {
  auto runnable = [](const std::string &file) {
    struct stat st {};
    if (stat(file.c_str(), &st) != 0)
      return errno;
    if (S_ISDIR(st.st_mode))
      return EACCES;
    return access(file.c_str(), X_OK) == 0 ? 0 : errno;
  };
  if (!path || !*path)
    return ENOENT;
  if (std::strchr(path, '/'))
    return runnable(path);
  const char *search = std::getenv("PATH");
  std::string dirs = search ? search : "/usr/local/bin:/usr/bin:/bin";
  int found = ENOENT;
  for (std::size_t start = 0; start <= dirs.size();) {
    std::size_t end = std::min(dirs.find(':', start), dirs.size());
    std::string dir = dirs.substr(start, end - start);
    int err = runnable((dir.empty() ? "." : dir) + "/" + path);
    if (err == 0)
      return 0;
    if (err == EACCES)
      found = EACCES;
    start = end + 1;
  }
  return found;
}

} // namespace cmd_runner

pid_t start_cmd(const char *cmd, const char *const args[], int out_fd) {
  // Built before the fork, so the child only prints and runs the shell.
  char line[cmd_runner::kLineSize];
  if (!cmd_runner::build_cmd_line(cmd, args, line)) {
    std::fprintf(stderr, "错误：启动器路径过长，无法组成命令行\n");
    return -1;
  }
  shell_quote::flush_std_streams();
  pid_t pid = fork();
  if (pid < 0) {
    std::printf("failed to fork, error %d\n", errno);
    std::fflush(stdout);
    return -1;
  }
  if (pid == 0) {
    // A group of its own, so that a command past its time can be stopped whole.
    setpgid(0, 0);
    std::printf("cmd [%s]\n", line);
    std::fflush(stdout);
    output_to(out_fd);
    int rc = std::system(line);
    std::fflush(stdout);
    // The shell's own status, so the caller can tell a launcher it could not run.
    _exit(rc == -1 ? 127 : WIFEXITED(rc) ? WEXITSTATUS(rc) : 128 + WTERMSIG(rc));
  }
  setpgid(pid, pid);
  return pid;
}

int run_cmd_sync(const char *cmd, const char *const args[], int out_fd) {
  pid_t pid = start_cmd(cmd, args, out_fd);
  return pid < 0 ? -1 : wait_for(pid);
}

pid_t spawn_in_group(const char *path, char *const argv[], int *exec_error, int out_fd) {
  *exec_error = 0;
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    *exec_error = errno;
    return -1;
  }
  shell_quote::flush_std_streams();
  pid_t pid = fork();
  if (pid < 0) {
    *exec_error = errno;
    close_both(report);
    return -1;
  }
  if (pid == 0) {
    close(report[0]);
    setpgid(0, 0);
    output_to(out_fd);
    execvp(path, argv);
    send_errno(report[1], errno);
    _exit(127);
  }
  setpgid(pid, pid);
  close(report[1]);
  if (int err = receive_errno(report[0])) {
    *exec_error = err;
    wait_for(pid);
    return -1;
  }
  return pid;
}

int run_cmd_detached(const char *path, char *const argv[], int *exec_error) {
  if (exec_error)
    *exec_error = 0;
  // The grandchild writes its errno here when it cannot start path; a
  // successful exec closes the pipe, so the parent reads end-of-file at once.
  int report[2] = {-1, -1};
  if (pipe2(report, O_CLOEXEC) != 0)
    report[0] = report[1] = -1;
  shell_quote::flush_std_streams();
  pid_t pid = fork();
  if (pid < 0) {
    int err = errno;
    std::fprintf(stderr, "failed to fork, error %d\n", err);
    close_both(report);
    if (exec_error)
      *exec_error = err;
    return -1;
  }
  if (pid == 0) {
    if (report[0] >= 0)
      close(report[0]);
    pid_t grandchild = fork();
    if (grandchild < 0) {
      send_errno(report[1], errno);
      _exit(1);
    }
    if (grandchild == 0) {
      execvp(path, argv);
      int err = errno;
      send_errno(report[1], err);
      exec_failed(path, err);
    }
    _exit(0);
  }
  if (report[1] >= 0)
    close(report[1]);
  int status = wait_for(pid);
  int err = receive_errno(report[0]);
  if (exec_error)
    *exec_error = err;
  return status;
}

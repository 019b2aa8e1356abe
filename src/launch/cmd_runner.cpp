#include "launch/cmd_runner.hpp"

#include "util/bounded.hpp"
#include "util/shell_quote.hpp"

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

} // namespace cmd_runner

void run_cmd_sync(const char *cmd, const char *const args[]) {
  // Built before the fork, so the child only prints and runs the shell.
  char line[cmd_runner::kLineSize];
  if (!cmd_runner::build_cmd_line(cmd, args, line)) {
    std::fprintf(stderr, "错误：启动器路径过长，无法组成命令行\n");
    return;
  }
  shell_quote::flush_std_streams();
  pid_t pid = fork();
  if (pid < 0) {
    std::printf("failed to fork, error %d\n", errno);
    std::fflush(stdout);
    return;
  }
  if (pid == 0) {
    std::printf("cmd [%s]\n", line);
    std::fflush(stdout);
    int rc = std::system(line);
    (void)rc;
    std::fflush(stdout);
    _exit(0);
  }
  wait_for(pid);
}

int run_cmd_detached(const char *path, char *const argv[]) {
  shell_quote::flush_std_streams();
  pid_t pid = fork();
  if (pid < 0) {
    std::fprintf(stderr, "failed to fork, error %d\n", errno);
    return -1;
  }
  if (pid == 0) {
    pid_t grandchild = fork();
    if (grandchild < 0)
      _exit(1);
    if (grandchild == 0) {
      execvp(path, argv);
      exec_failed(path, errno);
    }
    _exit(0);
  }
  return wait_for(pid);
}

#include "startup.hpp"

#include "launch/start_failure.hpp"
#include "log/log_sink.hpp"
#include "prefix/warmup.hpp"
#include "settings/settings.hpp"
#include "shell/main_window.hpp"
#include "shell/prewarm.hpp"
#include "shell/tool_buttons.hpp"
#include "util/bounded.hpp"
#include "util/i18n.hpp"
#include "util/shell_quote.hpp"

#include <fcntl.h>
#include <gtk/gtk.h>
#include <log4c.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

void get_sys_info() {
  struct utsname u;
  if (uname(&u) != 0) {
    perror("uname failed");
    return;
  }
  bounded::format(sys_info, sizeof(sys_info),
                  "sysname: %s\nnodename: %s\nrelease: %s\nversion: %s\nmachine: %s", u.sysname,
                  u.nodename, u.release, u.version, u.machine);
}

namespace {

using steady = std::chrono::steady_clock;

int ms_left(steady::time_point deadline) {
  auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// The version command through /bin/sh with its output on a pipe, as popen
// starts it, but in a process group of its own so that it can be stopped whole.
struct version_query {
  pid_t pid = -1;
  int out = -1;

  // False with errno set when the pipe or the process cannot be made.
  bool start(char *cmd) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
      return false;
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    char sh[] = "sh", dash_c[] = "-c";
    char *argv[] = {sh, dash_c, cmd, nullptr};
    int rc = posix_spawn(&pid, "/bin/sh", &actions, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
      close(fds[0]);
      pid = -1;
      errno = rc;
      return false;
    }
    out = fds[0];
    return true;
  }

  // The first line as fgets reads it into line: at most 127 bytes, up to and
  // including its newline; *len is 0 when the output ended first. False when
  // the deadline passed before the line was complete.
  bool read_first_line(char (&line)[128], std::size_t *got, steady::time_point deadline) {
    std::size_t len = 0;
    *got = 0;
    line[0] = '\0';
    while (len < sizeof(line) - 1) {
      pollfd p{out, POLLIN, 0};
      int ready = poll(&p, 1, ms_left(deadline));
      if (ready == 0)
        return false;
      if (ready < 0 && errno == EINTR)
        continue;
      ssize_t n = read(out, line + len, sizeof(line) - 1 - len);
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0)
        break;
      auto *newline = static_cast<char *>(std::memchr(line + len, '\n', static_cast<size_t>(n)));
      len = newline ? static_cast<std::size_t>(newline - line) + 1 : len + static_cast<size_t>(n);
      if (newline)
        break;
    }
    line[len] = '\0';
    *got = len;
    return true;
  }

  // Closes the pipe first, as pclose does, so a command that goes on writing
  // gets SIGPIPE; then waits for the shell. False when the deadline passed.
  bool finish(steady::time_point deadline) {
    close(out);
    out = -1;
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    bool ended = false;
    while (!ended) {
      int status = 0;
      pid_t got = waitpid(pid, &status, WNOHANG);
      if (got == pid || (got < 0 && errno != EINTR)) {
        ended = true;
        break;
      }
      int left = ms_left(deadline);
      if (left == 0)
        break;
      if (pidfd >= 0) {
        pollfd p{pidfd, POLLIN, 0};
        poll(&p, 1, left);
      } else {
        usleep(static_cast<useconds_t>(std::min(left, 5)) * 1000);
      }
    }
    if (pidfd >= 0)
      close(pidfd);
    if (ended)
      pid = -1;
    return ended;
  }

  // Kills the whole group (the shell, the launcher and whatever it started
  // without leaving the group) and reaps the shell.
  void stop() {
    if (out >= 0)
      close(out);
    out = -1;
    if (pid <= 0)
      return;
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid = -1;
  }

  ~version_query() { stop(); }
};

} // namespace

void get_wine_version(int limit_ms) {
  char line[128];
  std::size_t got = 0;
  // A launcher path with blanks or shell characters is passed as one word, whole.
  std::string cmd = shell_quote::quote_if_needed(wine_app_path) + " --version";
  {
    shell_quote::flush_std_streams();
    version_query query;
    if (!query.start(cmd.data())) {
      perror("popen failed");
      return;
    }
    // The window waits for this query, so a launcher that never answers must
    // not hold it for ever.
    const steady::time_point deadline = steady::now() + std::chrono::milliseconds(limit_ms);
    if (!query.read_first_line(line, &got, deadline) || !query.finish(deadline)) {
      query.stop();
      std::fprintf(stderr, "警告：Wine 启动器 %s 的版本查询在 %g 秒内没有结束，已终止\n",
                   wine_app_path, limit_ms / 1000.0);
      got = 0;
    }
  }
  if (got > 0) {
    char version[512];
    bounded::format(version, sizeof(version), "\nnivra-wine version: %s", line);
    std::size_t len = std::strlen(sys_info);
    bounded::append(sys_info, sizeof(sys_info), &len, "%s", version);
  } else {
    std::printf("Failed to get Wine version.\n");
  }
  std::printf("sys:\n%s\n", sys_info);
  std::fflush(stdout);
}

namespace startup {

bool refuses_arguments(int argc, char **argv) {
  if (argc <= 1)
    return true;
  if (argc == 2 && std::strlen(argv[1]) >= 2 && argv[1][0] == '-' && argv[1][1] == '-')
    return true;
  return false;
}

int run(int argc, char **argv, const confirm::limits &limits) {
  app_argv = argv;
  wine_prefix = settings::prefix_from_env(std::getenv("WINEPREFIX"));
  if (refuses_arguments(argc, argv))
    return 171;
  multi_thread_num = settings::thread_num_from_env(std::getenv("MULTI_THREAD_NUM"));

  const char *wine_app_env = std::getenv("WINE_APP");
  const char *dir = (wine_app_env && *wine_app_env) ? nullptr : get_exe_dir();
  switch (settings::set_wine_app_path(wine_app_env, dir)) {
  case settings::LauncherPath::ok:
    break;
  case settings::LauncherPath::too_long:
    std::fprintf(stderr, "错误：Wine 启动器路径过长（最多 %zu 字节），拒绝启动\n",
                 sizeof(wine_app_path) - 1);
    return 1;
  case settings::LauncherPath::no_memory:
    perror("wine 内存分配失败");
    return 1;
  case settings::LauncherPath::no_exe_dir:
    std::fprintf(stderr, "错误：无法确定程序所在目录，请用 WINE_APP 指定 Wine 启动器\n");
    return 1;
  }

  {
    // Ends before GTK starts: gtk_init may exit the process, and GLib's type
    // system can deadlock when two threads register types at once.
    Prewarm prewarm;
    get_sys_info();
    get_wine_version();
  }

  // GTK gets a vector of its own: every word after the program's name belongs
  // to the Windows program, and gtk_init would take out those that look like
  // its options (--name, --display=...). GTK's settings come from its
  // environment variables instead.
  char *gtk_args[] = {argv[0], nullptr};
  int gtk_argc = 1;
  char **gtk_argv = gtk_args;
  gtk_init(&gtk_argc, &gtk_argv);
  i18n::init();
  run_main_window(limits);
  // A tool of the window's buttons is a program of the user's too, running on.
  warmup::end_unused(confirm::program_started() || tool_buttons::started_any());

  if (mycat)
    log4c_category_delete(mycat);
  log4c_fini();
  mycat = nullptr;
  // A window closed after the program could not be started is no success.
  return start_failure::exit_status();
}

} // namespace startup

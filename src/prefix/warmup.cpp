#include "prefix/warmup.hpp"

#include "prefix/processes.hpp"
#include "util/shell_quote.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace warmup {

namespace {

struct State {
  pid_t pid = -1; // cmd.exe's launcher, leader of the warm-up's group
  int input = -1; // the write end of cmd.exe's input
  // The prefix, whose server the warm-up started: it starts only where none runs.
  prefix_path::PrefixPlaces places;
};

State state;

void close_fd(int &fd) {
  if (fd >= 0)
    close(fd);
  fd = -1;
}

void forget() {
  close_fd(state.input);
  state.pid = -1;
}

bool is_regular(const std::string &path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The first line of the prefix's "wineserver" file, when it names a plain folder.
std::string server_tmp_name(const std::string &folder) {
  own::fd file(
      open((folder + "/wineserver").c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!file)
    return {};
  char text[256];
  ssize_t n = read(file.get(), text, sizeof(text) - 1);
  if (n <= 0)
    return {};
  std::string name(text, static_cast<std::size_t>(n));
  name = name.substr(0, name.find('\n'));
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
    return {};
  return name;
}

// Another process holds the write lock of dir/lock.
bool lock_held(const std::string &dir) {
  own::fd lock(open((dir + "/lock").c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!lock)
    return false;
  struct flock probe {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  return fcntl(lock.get(), F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
}

// The warm-up's first process has ended; it stays to be reaped.
bool has_ended() {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(state.pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
         info.si_pid != 0;
}

// Stops the prefix's Windows processes, all of them the warm-up's or Wine's
// own, then its server, which saves the registry on SIGTERM. A server that
// ends first leaves its clients running, cut off. Returns the servers.
std::vector<processes::Process> stop_all() {
  kill(-state.pid, SIGKILL);
  for (const processes::Process &proc : processes::select("/proc", state.places, is_own))
    if (!proc.pidfd || syscall(SYS_pidfd_send_signal, proc.pidfd.get(), SIGKILL, nullptr, 0) != 0)
      kill(proc.pid, SIGKILL);
  std::vector<processes::Process> servers = processes::servers("/proc", state.places);
  for (const processes::Process &server : servers)
    kill(server.pid, SIGTERM);
  return servers;
}

// Nothing but the warm-up and Wine's housekeeping runs in the prefix.
bool only_warmup_runs() {
  return processes::program_names(processes::select("/proc", state.places, is_own)).empty();
}

// Closes every descriptor from first on but keep; in a child about to exec.
void close_from(int first, int keep) {
  syscall(SYS_close_range, first, keep - 1, 0);
  syscall(SYS_close_range, keep + 1, ~0U, 0);
}

} // namespace

std::vector<std::string> server_dirs(const prefix_path::PrefixPlaces &places, unsigned uid,
                                     const std::string &tmp_dir) {
  std::vector<std::string> dirs;
  if (places.empty())
    return dirs;
  dirs.push_back("/tmp/.wine-" + std::to_string(uid) + "/" + places.server_dir);
  std::string name = server_tmp_name(places.folder);
  if (!name.empty())
    dirs.push_back((tmp_dir.empty() ? "/tmp" : tmp_dir) + "/" + name + "/" + places.server_dir);
  return dirs;
}

bool server_runs(const prefix_path::PrefixPlaces &places) {
  const char *tmp = std::getenv("TMPDIR");
  for (const std::string &dir : server_dirs(places, getuid(), tmp ? tmp : ""))
    if (lock_held(dir))
      return true;
  return false;
}

bool prefix_exists(const std::string &folder) {
  return !folder.empty() && is_regular(folder + "/system.reg") && is_regular(folder + "/user.reg");
}

Outcome start(const char *launcher) {
  if (state.pid > 0)
    return Outcome::server_runs;
  prefix_path::PrefixPlaces places = prefix_path::current_prefix_places();
  if (places.empty() || !prefix_exists(places.folder))
    return Outcome::no_prefix;
  if (server_runs(places))
    return Outcome::server_runs;

  std::string path = launcher ? launcher : "";
  std::string program = "cmd.exe";
  char *argv[] = {path.data(), program.data(), nullptr};
  int input[2], report[2];
  if (pipe2(input, O_CLOEXEC) != 0)
    input[0] = input[1] = -1;
  if (pipe2(report, O_CLOEXEC) != 0)
    report[0] = report[1] = -1;
  shell_quote::flush_std_streams();
  pid_t pid = input[0] >= 0 && report[0] >= 0 && !path.empty() ? fork() : -1;
  int err = path.empty() ? ENOENT : errno;
  if (pid == 0) {
    setpgid(0, 0);
    int null = open("/dev/null", O_RDWR);
    dup2(input[0], STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    // The server that Wine starts outlives this process: it must hold none of
    // its descriptors (a pipe someone reads to its end, a lock, a socket).
    close_from(3, report[1]);
    execvp(path.c_str(), argv);
    err = errno;
    ssize_t rc = write(report[1], &err, sizeof(err));
    (void)rc;
    _exit(127);
  }
  close_fd(input[0]);
  close_fd(report[1]);
  if (pid > 0) {
    setpgid(pid, pid);
    // End-of-file at once when the exec went through.
    ssize_t n;
    while ((n = read(report[0], &err, sizeof(err))) < 0 && errno == EINTR) {
    }
    if (n == static_cast<ssize_t>(sizeof(err))) {
      while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
      pid = -1;
    }
  }
  close_fd(report[0]);
  if (pid < 0) {
    close_fd(input[1]);
    std::fprintf(stderr, "警告：无法预先启动 Wine 容器：%s: %s\n", path.c_str(),
                 std::strerror(err));
    return Outcome::failed;
  }
  state.pid = pid;
  state.input = input[1];
  state.places = std::move(places);
  std::printf("prefix warm-up [%s %s]\n", shell_quote::quote_if_needed(path).c_str(),
              program.c_str());
  std::fflush(stdout);
  return Outcome::started;
}

bool running() { return state.pid > 0; }

void reap() {
  if (state.pid <= 0)
    return;
  int status = 0;
  pid_t got;
  while ((got = waitpid(state.pid, &status, WNOHANG)) < 0 && errno == EINTR) {
  }
  if (got == 0)
    return; // still running
  // cmd.exe waits for input that never comes: an exit of its own is Wine's
  // or the launcher's failure. Killed (a DPI change stops it), it is quiet.
  if (got == state.pid && WIFEXITED(status) && WEXITSTATUS(status) != 0 &&
      WEXITSTATUS(status) < 128)
    std::fprintf(stderr, "警告：预先启动 Wine 容器失败（启动器退出状态 %d），按“确定”后照常启动\n",
                 WEXITSTATUS(status));
  forget();
}

bool is_own(int pid) { return state.pid > 0 && pid > 0 && getpgid(pid) == state.pid; }

void end_unused(bool program_started) {
  if (state.pid <= 0)
    return;
  // Otherwise the user's programs use the server, the one just started
  // perhaps before it shows in /proc: cmd.exe reads end-of-file and leaves it
  // to them.
  if (!program_started && !has_ended() && only_warmup_runs())
    stop_all();
  reap();
  forget();
}

void cool_for_debug_run(const std::function<void()> &meanwhile) {
  if (state.pid <= 0 || has_ended() || !only_warmup_runs())
    return;
  std::vector<processes::Process> servers = stop_all();
  close_fd(state.input);
  while (waitpid(state.pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  forget();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  auto gone = [&servers] { return std::all_of(servers.begin(), servers.end(), processes::ended); };
  while (!gone() && std::chrono::steady_clock::now() < deadline) {
    if (meanwhile)
      meanwhile();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

} // namespace warmup

#include "prefix/stop.hpp"

#include "util/bounded.hpp"
#include "util/shell_quote.hpp"

#include <signal.h>
#include <sys/syscall.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace stop {

bool PidList::add(int pid) {
  if (count_ > 0)
    bounded::append(text_, kSize, &length_, " ");
  bounded::append(text_, kSize, &length_, "%d", pid);
  ++count_;
  return length_ < kFullAt;
}

std::string kill_command(const PidList &pids) {
  char cmd[8192];
  bounded::format(cmd, sizeof(cmd), "kill -9 %s 2>/dev/null", pids.text());
  return cmd;
}

void list_ids(const std::vector<processes::Process> &procs, PidList &pids, std::size_t *taken) {
  std::size_t n = 0;
  for (const processes::Process &proc : procs) {
    ++n;
    if (!pids.add(proc.pid)) {
      std::fprintf(stderr, "警告：kill_pids缓冲区即将满，已处理 %d 个进程\n", pids.count());
      break;
    }
  }
  if (taken)
    *taken = n;
}

namespace {

int send_signal(const processes::Process &proc, int sig) {
  return static_cast<int>(syscall(SYS_pidfd_send_signal, proc.pidfd.get(), sig, nullptr, 0));
}

} // namespace

void stop(const std::vector<processes::Process> &procs) {
  auto pids = std::make_unique<PidList>();
  std::size_t taken = 0;
  list_ids(procs, *pids, &taken);
  if (pids->count() == 0)
    return;
  // Through the pidfd the signal reaches the process that was examined, even
  // if its id has been given to another since; a process that has ended
  // meanwhile is simply gone.
  bool all_by_pidfd = std::all_of(procs.begin(), procs.begin() + static_cast<long>(taken),
                                  [](const processes::Process &proc) { return bool(proc.pidfd); });
  if (all_by_pidfd) {
    for (std::size_t i = 0; i < taken; ++i)
      if (send_signal(procs[i], SIGKILL) != 0 && errno == ENOSYS)
        all_by_pidfd = false;
  }
  if (!all_by_pidfd) {
    shell_quote::flush_std_streams();
    int rc = std::system(kill_command(*pids).c_str());
    (void)rc;
  }
  std::printf("已一次性终止 %d 个进程: %s\n", pids->count(), pids->text());
  std::fflush(stdout);
}

namespace {

struct ServerWait {
  std::vector<processes::Process> servers;
  std::function<void()> done;
  std::chrono::steady_clock::time_point deadline;
};

gboolean check_servers(gpointer data) {
  auto *wait = static_cast<ServerWait *>(data);
  bool all = std::all_of(wait->servers.begin(), wait->servers.end(), processes::ended);
  if (!all && std::chrono::steady_clock::now() < wait->deadline)
    return G_SOURCE_CONTINUE;
  std::unique_ptr<ServerWait> owned(wait);
  owned->done();
  return G_SOURCE_REMOVE;
}

} // namespace

void end_servers(std::vector<processes::Process> servers, std::function<void()> done) {
  // On SIGTERM the server writes the registry files and exits; without it, it
  // first waits for the killed processes to be reaped, then saves.
  for (const processes::Process &server : servers)
    if (!server.pidfd || (send_signal(server, SIGTERM) != 0 && errno == ENOSYS))
      kill(server.pid, SIGTERM);
  auto *wait =
      new ServerWait{std::move(servers), std::move(done),
                     std::chrono::steady_clock::now() + std::chrono::milliseconds(kServerWaitMs)};
  // A few milliseconds apart, from the main loop, which goes on drawing.
  g_timeout_add(5, check_servers, wait);
}

} // namespace stop

void kill_prefix_processes() {
  stop::stop(processes::select("/proc", prefix_path::current_prefix_places(), nullptr));
}

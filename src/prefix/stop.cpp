#include "prefix/stop.hpp"

#include "util/bounded.hpp"

#include <signal.h>
#include <sys/syscall.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>

namespace stop {

bool PidList::add(int pid) {
  if (count_ > 0)
    bounded::append(text_, kSize, &length_, " ");
  bounded::append(text_, kSize, &length_, "%d", pid);
  ++count_;
  return length_ < kFullAt;
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

void send_signal(const processes::Process &proc, int sig) {
  syscall(SYS_pidfd_send_signal, proc.pidfd.get(), sig, nullptr, 0);
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
  for (std::size_t i = 0; i < taken; ++i)
    send_signal(procs[i], SIGKILL);
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
    send_signal(server, SIGTERM);
  auto *wait =
      new ServerWait{std::move(servers), std::move(done),
                     std::chrono::steady_clock::now() + std::chrono::milliseconds(kServerWaitMs)};
  // A few milliseconds apart, from the main loop, which goes on drawing.
  g_timeout_add(5, check_servers, wait);
}

} // namespace stop

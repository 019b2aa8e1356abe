#pragma once
// Stops a prefix's processes at once: each process that was examined, through
// its pidfd, and the prefix's server, asked to save the registry and end, waited for from the
// main loop. Main thread only.
#include "prefix/processes.hpp"

#include <glib.h>

#include <cstddef>
#include <functional>
#include <vector>

namespace stop {

// The ids of the processes stopped, as the line that names them shows them.
class PidList {
public:
  static constexpr std::size_t kSize = 4096;
  static constexpr std::size_t kFullAt = kSize - 32; // 4064 characters

  // Appends pid; returns false once the text has reached kFullAt characters
  // (the id just added is kept).
  bool add(int pid);
  int count() const { return count_; }
  const char *text() const { return text_; }

private:
  char text_[kSize] = {};
  std::size_t length_ = 0;
  int count_ = 0;
};

// The ids of procs in order, up to a full list: then
// "警告：kill_pids缓冲区即将满，已处理 %d 个进程\n" on stderr and no more.
// *taken (when given) is how many of procs the list holds.
void list_ids(const std::vector<processes::Process> &procs, PidList &pids,
              std::size_t *taken = nullptr);

// SIGKILL to each of procs as listed by list_ids; prints
// "已一次性终止 %d 个进程: %s\n" when there were any.
void stop(const std::vector<processes::Process> &procs);

constexpr int kServerWaitMs = 5000;

// Asks the servers to save the registry and end at once (SIGTERM), then calls
// done from the main loop once they have ended, at most kServerWaitMs later.
// Left alone, a server whose processes were killed saves only after a wait of
// its own.
void end_servers(std::vector<processes::Process> servers, std::function<void()> done);

} // namespace stop

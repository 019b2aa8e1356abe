#pragma once
// Waits for a child from the main loop, with a limit: a command that does not
// end in time is stopped with its whole process group. Main thread only.
#include <sys/types.h>

#include <functional>

namespace child_watch {

// Calls done(wait status, timed_out) from the main loop once pid, a child of
// this process and the leader of its own process group, has ended; past
// limit_ms the group is killed first and timed_out is true.
void watch(pid_t pid, int limit_ms, std::function<void(int status, bool timed_out)> done);

} // namespace child_watch

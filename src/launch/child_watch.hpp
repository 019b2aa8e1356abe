#pragma once
// Waits for a child from the main loop, with or without a limit: a command that
// does not end in time is stopped with its whole process group. Main thread only.
#include <sys/types.h>

#include <functional>

namespace child_watch {

// Calls done(wait status, timed_out) from the main loop once pid, a child of
// this process and the leader of its own process group, has ended; past
// limit_ms the group is killed first and timed_out is true. A limit of 0 or
// less means none: the child runs until it ends or is stopped.
void watch(pid_t pid, int limit_ms, std::function<void(int status, bool timed_out)> done);

// Asks the process group pgid to end: SIGTERM now, SIGKILL after grace_ms to
// whatever of it is left then, also when its leader has ended and been reaped
// meanwhile (the group's id cannot be taken by another process while any member
// lives). Returns false when no process of the group was there to signal.
bool stop_group(pid_t pgid, int grace_ms);

} // namespace child_watch

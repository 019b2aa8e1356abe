#include "launch/child_watch.hpp"

#include <glib.h>
#include <signal.h>

#include <memory>

namespace child_watch {

namespace {

struct Watch {
  pid_t pid;
  std::function<void(int, bool)> done;
  guint limit = 0;
  bool timed_out = false;
};

gboolean past_limit(gpointer data) {
  auto *watch = static_cast<Watch *>(data);
  watch->limit = 0;
  watch->timed_out = true;
  kill(-watch->pid, SIGKILL);
  return G_SOURCE_REMOVE;
}

void ended(GPid, gint status, gpointer data) {
  std::unique_ptr<Watch> watch(static_cast<Watch *>(data));
  if (watch->limit)
    g_source_remove(watch->limit);
  watch->done(status, watch->timed_out);
}

gboolean kill_what_is_left(gpointer data) {
  kill(-static_cast<pid_t>(GPOINTER_TO_INT(data)), SIGKILL);
  return G_SOURCE_REMOVE;
}

} // namespace

void watch(pid_t pid, int limit_ms, std::function<void(int, bool)> done) {
  auto *w = new Watch{pid, std::move(done)};
  if (limit_ms > 0)
    w->limit = g_timeout_add(static_cast<guint>(limit_ms), past_limit, w);
  g_child_watch_add(pid, ended, w);
}

bool stop_group(pid_t pgid, int grace_ms) {
  if (pgid <= 0 || kill(-pgid, SIGTERM) != 0)
    return false;
  g_timeout_add(static_cast<guint>(grace_ms > 0 ? grace_ms : 0), kill_what_is_left,
                GINT_TO_POINTER(pgid));
  return true;
}

} // namespace child_watch

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

} // namespace

void watch(pid_t pid, int limit_ms, std::function<void(int, bool)> done) {
  auto *w = new Watch{pid, std::move(done)};
  w->limit = g_timeout_add(static_cast<guint>(limit_ms), past_limit, w);
  g_child_watch_add(pid, ended, w);
}

} // namespace child_watch

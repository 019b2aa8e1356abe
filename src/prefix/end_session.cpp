#include "prefix/end_session.hpp"

#include "launch/cmd_runner.hpp"
#include "launch/output_capture.hpp"
#include "util/shell_quote.hpp"

#include <glib.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <memory>
#include <string>

namespace end_session {

AnswerClock::AnswerClock(std::int64_t now_ms, int limit_ms, int running)
    : limit_ms_(limit_ms), running_(running), deadline_ms_(now_ms + limit_ms) {}

bool AnswerClock::expired(std::int64_t now_ms, int running) {
  if (running < running_) {
    running_ = running;
    deadline_ms_ = now_ms + limit_ms_;
  }
  return now_ms >= deadline_ms_;
}

namespace {

constexpr int kLookMs = 100;

std::int64_t now_ms() { return g_get_monotonic_time() / 1000; }

struct Wait {
  pid_t pid = -1;
  std::function<int()> running;
  std::function<void(const Result &)> done;
  output_capture::File out;
  AnswerClock clock{0, 0, 0};
  guint tick = 0;
  bool timed_out = false;
  Result failed{Outcome::cannot_start, 0, {}};
};

gboolean look(gpointer data) {
  auto *wait = static_cast<Wait *>(data);
  if (!wait->clock.expired(now_ms(), wait->running()))
    return G_SOURCE_CONTINUE;
  wait->tick = 0;
  wait->timed_out = true;
  // wineboot, and its "Waiting for Program" dialog, go.
  kill(-wait->pid, SIGKILL);
  return G_SOURCE_REMOVE;
}

void ended(GPid, gint status, gpointer data) {
  std::unique_ptr<Wait> wait(static_cast<Wait *>(data));
  if (wait->tick)
    g_source_remove(wait->tick);
  Result result{Outcome::agreed, 0, {}};
  const std::string &said = wait->out.finish();
  if (wait->timed_out) {
    result.outcome = Outcome::no_answer;
  } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    // A program that says no leaves wineboot silent; Wine that cannot run
    // it says why ("wine: ...", "Application could not be started ...").
    result.wine_line = output_capture::first_error_line(said);
    result.outcome = result.wine_line.empty() ? Outcome::refused : Outcome::cannot_run;
  }
  wait->done(result);
}

gboolean report_failed(gpointer data) {
  std::unique_ptr<Wait> wait(static_cast<Wait *>(data));
  wait->done(wait->failed);
  return G_SOURCE_REMOVE;
}

} // namespace

void request(const char *launcher, int limit_ms, std::function<int()> running,
             std::function<void(const Result &)> done) {
  auto wait = std::make_unique<Wait>();
  wait->running = std::move(running);
  wait->done = std::move(done);
  std::string path = launcher ? launcher : "";
  std::string program = "wineboot.exe", option = "--end-session", stop = "--shutdown";
  char *argv[] = {path.data(), program.data(), option.data(), stop.data(), nullptr};
  std::printf("cmd [%s %s %s %s]\n", shell_quote::quote_if_needed(path).c_str(), program.c_str(),
              option.c_str(), stop.c_str());
  int err = 0;
  wait->pid = spawn_in_group(path.c_str(), argv, &err, wait->out.fd());
  if (wait->pid < 0) {
    wait->failed.err = err;
    g_idle_add(report_failed, wait.release());
    return;
  }
  wait->clock = AnswerClock(now_ms(), limit_ms, wait->running());
  wait->tick = g_timeout_add(kLookMs, look, wait.get());
  pid_t pid = wait->pid;
  g_child_watch_add(pid, ended, wait.release());
}

} // namespace end_session

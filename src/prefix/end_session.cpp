#include "prefix/end_session.hpp"

#include "launch/child_watch.hpp"
#include "launch/cmd_runner.hpp"
#include "util/shell_quote.hpp"

#include <glib.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace end_session {

int answer_limit_ms = kAnswerLimitMs;

namespace {

struct Failed {
  std::function<void(Outcome, int)> done;
  int err;
};

gboolean report_failed(gpointer data) {
  auto *failed = static_cast<Failed *>(data);
  failed->done(Outcome::cannot_start, failed->err);
  delete failed;
  return G_SOURCE_REMOVE;
}

} // namespace

void request(const char *launcher, std::function<void(Outcome, int)> done) {
  std::string path = launcher ? launcher : "";
  std::string program = "wineboot.exe", option = "--end-session";
  char *argv[] = {path.data(), program.data(), option.data(), nullptr};
  std::printf("cmd [%s %s %s]\n", shell_quote::quote_if_needed(path).c_str(), program.c_str(),
              option.c_str());
  int err = 0;
  pid_t pid = spawn_in_group(path.c_str(), argv, &err);
  if (pid < 0) {
    g_idle_add(report_failed, new Failed{std::move(done), err});
    return;
  }
  child_watch::watch(pid, answer_limit_ms, [done = std::move(done)](int status, bool timed_out) {
    if (timed_out)
      done(Outcome::no_answer, 0);
    else
      done(WIFEXITED(status) && WEXITSTATUS(status) == 0 ? Outcome::agreed : Outcome::refused, 0);
  });
}

} // namespace end_session

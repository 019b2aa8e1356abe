#pragma once
// Asks the prefix's programs to close as at the end of a Windows session, so
// that each may ask its own questions (save changes?) first: Wine's
// `wineboot --end-session --shutdown`, through the launcher, waited for from
// the main loop. --shutdown makes wineboot stop there: without it, it goes on
// into Wine's start-up and runs the prefix's RunOnce and Run entries and its
// Startup folders. wineboot asks one program at a time and waits without a
// limit for one that does not answer, so the limit here is per program: it
// starts again whenever one of the programs has ended. Main thread only.
#include <cstdint>
#include <functional>
#include <string>

namespace end_session {

// wineboot's own five seconds before it shows its "Waiting for Program"
// dialog, and then time for a person to read a program's save question and
// answer it.
constexpr int kAnswerLimitMs = 30000;

enum class Outcome {
  agreed,       // every program asked agreed; wineboot has ended those that still ran
  refused,      // a program said no (wineboot ended with another status)
  no_answer,    // one program did not answer within the limit; wineboot was stopped
  cannot_start, // the launcher could not be started
  cannot_run    // Wine could not run wineboot: the programs were not asked
};

struct Result {
  Outcome outcome;
  int err = 0;           // errno of a start that failed
  std::string wine_line; // Wine's first error line, for cannot_run
};

// The limit, started again whenever the count of programs still running
// goes down.
class AnswerClock {
public:
  AnswerClock(std::int64_t now_ms, int limit_ms, int running);
  // True once the limit has passed with no program ending.
  bool expired(std::int64_t now_ms, int running);

private:
  int limit_ms_;
  int running_;
  std::int64_t deadline_ms_;
};

// Runs `launcher wineboot.exe --end-session --shutdown` and calls done from
// the main loop, never from within request. running() is the number of the
// programs being asked that still run; limit_ms is each one's limit.
void request(const char *launcher, int limit_ms, std::function<int()> running,
             std::function<void(const Result &)> done);

} // namespace end_session

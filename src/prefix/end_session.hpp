#pragma once
// Asks the prefix's programs to close as at the end of a Windows session, so
// that each may ask its own questions (save changes?) first: Wine's
// `wineboot --end-session`, through the launcher, waited for from the main
// loop with a limit of its own, since wineboot waits without one for a
// program that does not answer. Main thread only.
#include <functional>

namespace end_session {

// wineboot's own five seconds before it shows its "Waiting for Program"
// dialog, and then time for a person to read a program's save question and
// answer it.
constexpr int kAnswerLimitMs = 30000;

// The limit in force: kAnswerLimitMs; tests that drive the program lower it.
extern int answer_limit_ms;

enum class Outcome {
  agreed,      // every program agreed; wineboot has ended those that still ran
  refused,     // a program said no (wineboot ended with another status)
  no_answer,   // the limit passed; wineboot, and its waiting dialog, were stopped
  cannot_start // the launcher could not be started
};

// Runs `launcher wineboot.exe --end-session` and calls done(outcome, errno of
// a start that failed, else 0) from the main loop; never from within request.
void request(const char *launcher, std::function<void(Outcome, int)> done);

} // namespace end_session

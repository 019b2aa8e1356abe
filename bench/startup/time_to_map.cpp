// Times programs from their start to their first window being mapped on the
// X server, alternating them round by round so all see the same machine.
// Usage: time_to_map ROUNDS NAME_A TITLE_A -- CMD_A... -- NAME_B TITLE_B -- CMD_B... [-- ...]
// Prints the median and mean of each and the ratio of each median to the
// first one's.
#include "window_name.hpp"

#include <X11/Xlib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

namespace {

struct Subject {
  std::string name;
  std::string title;
  std::vector<char *> argv;
  std::vector<double> ms;
};

double run_once(Display *dpy, Subject &s) {
  Window root = DefaultRootWindow(dpy);
  XSelectInput(dpy, root, SubstructureNotifyMask);
  XSync(dpy, True);
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    // What the programs print is not the point here.
    if (FILE *null = std::freopen("/dev/null", "w", stdout))
      (void)null;
    execvp(s.argv[0], s.argv.data());
    _exit(127);
  }
  double ms = -1;
  while (ms < 0) {
    XEvent ev;
    XNextEvent(dpy, &ev);
    if (ev.type == MapNotify && window_name(dpy, ev.xmap.window) == s.title)
      ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
               .count();
  }
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  return ms;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 9) {
    std::fprintf(stderr, "usage: time_to_map ROUNDS NAME_A TITLE_A -- CMD_A... -- NAME_B TITLE_B "
                         "-- CMD_B... [-- ...]\n");
    return 1;
  }
  int rounds = std::atoi(argv[1]);
  std::vector<Subject> subjects;
  for (int i = 2; i < argc;) {
    Subject s;
    s.name = argv[i++];
    if (i + 1 >= argc || std::strcmp(argv[i + 1], "--") != 0) {
      std::fprintf(stderr, "time_to_map: expected NAME TITLE -- before each command\n");
      return 1;
    }
    s.title = argv[i];
    i += 2;
    while (i < argc && std::strcmp(argv[i], "--") != 0)
      s.argv.push_back(argv[i++]);
    ++i;
    if (s.argv.empty()) {
      std::fprintf(stderr, "time_to_map: %s has no command\n", s.name.c_str());
      return 1;
    }
    s.argv.push_back(nullptr);
    subjects.push_back(std::move(s));
  }
  if (subjects.size() < 2) {
    std::fprintf(stderr, "time_to_map: give at least two programs\n");
    return 1;
  }
  Display *dpy = XOpenDisplay(nullptr);
  if (!dpy) {
    std::fprintf(stderr, "time_to_map: no X display\n");
    return 1;
  }
  for (auto &s : subjects) // warm the caches once
    run_once(dpy, s);
  for (int r = 0; r < rounds; ++r)
    for (auto &s : subjects)
      s.ms.push_back(run_once(dpy, s));
  for (auto &s : subjects)
    std::printf("%-12s median %7.1f ms  mean %7.1f ms  (%d runs)\n", s.name.c_str(), median(s.ms),
                std::accumulate(s.ms.begin(), s.ms.end(), 0.0) / s.ms.size(), rounds);
  for (std::size_t i = 1; i < subjects.size(); ++i)
    std::printf("ratio %s / %s: %.3f\n", subjects[i].name.c_str(), subjects[0].name.c_str(),
                median(subjects[i].ms) / median(subjects[0].ms));
  XCloseDisplay(dpy);
  return 0;
}

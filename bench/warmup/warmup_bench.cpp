// Enter on the helper's window against a cold `wine PROGRAM`, real Wine on
// Xvfb. Every round copies the template prefix fresh once per program; on
// that copy, taking turns as to which goes first:
//   helper: the confirm driver reads the window for 3 s (NIVRA_DRIVE_READ_MS),
//     while the helper starts the prefix, then clicks "确定"; timed from its
//     "driver: clicked" to the program's first window being mapped;
//   cold: `wine PROGRAM` with no server running, timed from its start to the
//     program's first window being mapped.
// After each turn everything of the prefix is stopped and waited for, so the
// next turn starts cold. Prints each round, then the medians and the ratios.
//   warmup_bench WORKDIR TEMPLATE-PREFIX DRIVER ROUNDS TITLE PROGRAM [PROGRAM...]
#include "timing.hpp"
#include "util/own.hpp"
#include "window_name.hpp"

#include <X11/Xlib.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace bench;
using Clock = std::chrono::steady_clock;

namespace {

std::string read_text(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string link_target(const std::string &path) {
  char target[4096];
  const ssize_t n = readlink(path.c_str(), target, sizeof(target));
  return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

// Ids of Wine's processes (loaders, preloaders, servers) started with
// WINEPREFIX=prefix.
std::set<int> prefix_pids(const std::string &prefix) {
  std::set<int> pids;
  const std::string wanted = "WINEPREFIX=" + prefix + '\0';
  own::dir proc(opendir("/proc"));
  while (const dirent *e = proc ? readdir(proc.get()) : nullptr) {
    const int pid = std::atoi(e->d_name);
    const std::string at = "/proc/" + std::to_string(pid);
    if (pid > 0 && link_target(at + "/exe").find("wine") != std::string::npos &&
        ('\0' + read_text(at + "/environ")).find('\0' + wanted) != std::string::npos)
      pids.insert(pid);
  }
  return pids;
}

// Stops everything of prefix and waits until nothing of it runs.
void quiet(const std::string &prefix) {
  sh("WINEPREFIX=" + quote(prefix) + " wineserver -k 2>/dev/null");
  const auto until = Clock::now() + std::chrono::seconds(30);
  while (!prefix_pids(prefix).empty() && Clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  for (int pid : prefix_pids(prefix)) {
    std::fprintf(stderr, "still running after 30 s, killed: %s\n",
                 read_text("/proc/" + std::to_string(pid) + "/cmdline").c_str());
    kill(pid, SIGKILL);
  }
}

// A viewable top-level window titled title (no window manager: children of the root).
bool shows(Display *dpy, const std::string &title) {
  Window root, parent, *children = nullptr;
  unsigned int n = 0;
  bool found = false;
  if (!XQueryTree(dpy, DefaultRootWindow(dpy), &root, &parent, &children, &n))
    return false;
  for (unsigned int i = 0; i < n && !found; ++i) {
    XWindowAttributes attrs;
    found = XGetWindowAttributes(dpy, children[i], &attrs) && attrs.map_state == IsViewable &&
            window_name(dpy, children[i]) == title;
  }
  if (children)
    XFree(children);
  return found;
}

int ignore_error(Display *, XErrorEvent *) { return 0; }

// Polls every 2 ms until the window shows: the moment, or none after 60 s.
Clock::time_point wait_for_window(Display *dpy, const std::string &title) {
  const auto until = Clock::now() + std::chrono::seconds(60);
  while (Clock::now() < until) {
    if (shows(dpy, title))
      return Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return {};
}

pid_t start(const std::string &prefix, const std::vector<std::string> &args, int out_fd) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(out_fd >= 0 ? out_fd : null, 1);
    dup2(out_fd >= 0 ? out_fd : null, 2);
    setenv("WINEPREFIX", prefix.c_str(), 1);
    setenv("WINEDEBUG", "-all", 1);
    std::vector<char *> argv;
    for (const std::string &arg : args)
      argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// The helper through the driver: "driver: clicked" to the window. -1 on failure.
double time_helper(Display *dpy, const std::string &driver, const std::string &prefix,
                   const std::string &program, const std::string &title) {
  int out[2];
  if (pipe(out) != 0)
    std::exit(1);
  setenv("NIVRA_DRIVE_READ_MS", "3000", 1);
  const pid_t pid = start(prefix, {driver, program}, out[1]);
  unsetenv("NIVRA_DRIVE_READ_MS");
  close(out[1]);
  std::string text;
  Clock::time_point clicked{};
  char buf[4096];
  ssize_t n;
  while (clicked == Clock::time_point{} && (n = read(out[0], buf, sizeof(buf))) > 0) {
    text.append(buf, static_cast<std::size_t>(n));
    if (text.find("driver: clicked\n") != std::string::npos)
      clicked = Clock::now();
  }
  const Clock::time_point shown =
      clicked == Clock::time_point{} ? clicked : wait_for_window(dpy, title);
  // The started program may hold the pipe: read what the helper printed until it ends.
  fcntl(out[0], F_SETFL, O_NONBLOCK);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    while ((n = read(out[0], buf, sizeof(buf))) > 0)
      text.append(buf, static_cast<std::size_t>(n));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  while ((n = read(out[0], buf, sizeof(buf))) > 0)
    text.append(buf, static_cast<std::size_t>(n));
  close(out[0]);
  const bool warmed = text.find("prefix warm-up [") != std::string::npos;
  if (shown == Clock::time_point{} || !warmed || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "the helper's run failed (status %d, warm-up %s):\n%s\n", status,
                 warmed ? "started" : "NOT started", text.c_str());
    return -1;
  }
  return std::chrono::duration<double>(shown - clicked).count();
}

// `wine PROGRAM` on a cold prefix: its start to the window. -1 on failure.
double time_cold(Display *dpy, const std::string &prefix, const std::string &program,
                 const std::string &title) {
  const char *wine = std::getenv("WINE_APP");
  const auto t0 = Clock::now();
  const pid_t pid = start(prefix, {wine ? wine : "wine", program}, -1);
  const Clock::time_point shown = wait_for_window(dpy, title);
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  if (shown == Clock::time_point{}) {
    std::fprintf(stderr, "wine %s showed no window\n", program.c_str());
    return -1;
  }
  return std::chrono::duration<double>(shown - t0).count();
}

std::string list(const std::vector<double> &v) {
  std::string s;
  char buf[32];
  for (double x : v) {
    std::snprintf(buf, sizeof(buf), "%s%.2f", s.empty() ? "" : " ", x);
    s += buf;
  }
  return s;
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 7) {
    std::fprintf(stderr, "usage: warmup_bench WORKDIR TEMPLATE-PREFIX DRIVER ROUNDS TITLE "
                         "PROGRAM [PROGRAM...]\n");
    return 2;
  }
  const std::string work = argv[1], tpl = argv[2], driver = argv[3], title = argv[5];
  const int rounds = std::max(1, std::atoi(argv[4]));
  Display *dpy = XOpenDisplay(nullptr);
  if (!dpy) {
    std::fprintf(stderr, "warmup_bench: no X display\n");
    return 1;
  }
  XSetErrorHandler(ignore_error);
  const std::string prefix = work + "/prefix";
  int failures = 0;
  std::string table = "| Program | Enter to first window, after 3 s of reading | cold `wine "
                      "PROGRAM` | ratio of medians | median of the rounds' ratios |\n"
                      "|---|---|---|---|---|\n";
  for (int p = 6; p < argc; ++p) {
    const std::string program = argv[p];
    std::vector<double> helper, cold, ratio;
    for (int round = 0; round < rounds; ++round) {
      sh("rm -rf " + quote(prefix) + " && cp -a " + quote(tpl) + " " + quote(prefix) + " && sync");
      double h = -1, c = -1;
      for (int turn = 0; turn < 2; ++turn) {
        if ((turn + round) % 2 == 0)
          h = time_helper(dpy, driver, prefix, program, title);
        else
          c = time_cold(dpy, prefix, program, title);
        quiet(prefix);
      }
      std::printf("%s round %d: Enter to window %.2f s, cold %.2f s, ratio %.2f\n", program.c_str(),
                  round + 1, h, c, h > 0 && c > 0 ? h / c : 0.0);
      std::fflush(stdout);
      if (h < 0 || c < 0) {
        ++failures;
        continue;
      }
      helper.push_back(h);
      cold.push_back(c);
      ratio.push_back(h / c);
    }
    if (helper.empty())
      continue;
    char row[512];
    std::snprintf(row, sizeof(row), "| %s | %.2f s | %.2f s | %.2fx | %.2fx |\n", program.c_str(),
                  median(helper), median(cold), median(helper) / median(cold), median(ratio));
    table += row;
    std::printf("%s each round: Enter to window s %s; cold s %s\n", program.c_str(),
                list(helper).c_str(), list(cold).c_str());
  }
  sh("rm -rf " + quote(prefix));
  XCloseDisplay(dpy);
  std::printf("\n%d rounds, medians:\n%s", rounds, table.c_str());
  if (failures)
    std::printf("%d rounds failed (see above)\n", failures);
  return failures ? 1 : 0;
}

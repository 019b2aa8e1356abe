// The DPI change on a prefix with many installed files against a fresh one,
// real Wine, a Windows program (cmd.exe waiting on a pipe) running in the
// prefix. Every round copies the template fresh, once as it is and once with
// FILES files in folders of 40 under "drive_c/Program Files", the two taking
// turns as to which goes first. In each copy it times
//   (a) finding the prefix's processes: this helper's own search of /proc
//       against `lsof -t +D` on the same prefix (whose answer, kept to the ids
//       that map ntdll.dll, must be the same);
//   (b) the DPI change through the real window: the confirm driver chooses
//       another DPI and clicks "确定"; timed from its "driver: clicked" to the
//       helper's exit, and from the helper's first "已一次性终止" line to its
//       exit. The first stop waits for GLib's seconds timer, which fires on a
//       whole second of the clock (give or take a phase fixed per session):
//       0.75 to 1.75 s after the click, so click to exit varies by up to a
//       second from round to round whatever the prefix; the second figure
//       leaves that wait out.
// Prints the medians, the ratios, and each round's figures.
//
// Then, for DPI-ROUNDS rounds, the DPI change on a fresh copy with nothing
// running in it (click on "确定" to the helper's exit, and whether user.reg
// holds the value at that moment) against a cold `wine reg add` of the same
// value on another fresh copy, to its end and to the moment user.reg holds
// the value, the two taking turns as to which goes first, each with the
// machine quiet of the other's Wine processes.
//
// Then, for CLOSE-ROUNDS rounds, the DPI change with notepad open and holding
// typed text, its save question answered at once with "No" (the tests' xwin,
// bench_xwin beside this program): click on "确定" to the helper's exit,
// against Wine's own `wine wineboot --end-session` on another copy of the same
// prefix with notepad in the same state, answered the same way, from its start
// to its end; the two take turns as to which goes first.
//
//   prefix_bench WORKDIR TEMPLATE-PREFIX DRIVER [rounds] [files] [dpi-rounds] [close-rounds]
// (rounds 0 leaves the first part out, dpi-rounds 0 the second).
#include "prefix/stop.hpp"
#include "timing.hpp"
#include "util/own.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <sstream>
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

// Ids of the processes started with WINEPREFIX=prefix; with windows, only
// those that map ntdll.dll.
std::set<int> prefix_pids(const std::string &prefix, bool windows) {
  std::set<int> pids;
  const std::string wanted = "WINEPREFIX=" + prefix + '\0';
  own::dir proc(opendir("/proc"));
  while (const dirent *e = proc ? readdir(proc.get()) : nullptr) {
    const int pid = std::atoi(e->d_name);
    if (pid <= 0)
      continue;
    const std::string at = "/proc/" + std::to_string(pid);
    if (('\0' + read_text(at + "/environ")).find('\0' + wanted) != std::string::npos &&
        (!windows || read_text(at + "/maps").find("ntdll.dll") != std::string::npos))
      pids.insert(pid);
  }
  return pids;
}

bool runs_cmd(const std::set<int> &pids) {
  for (int pid : pids)
    if (read_text("/proc/" + std::to_string(pid) + "/cmdline").find("cmd.exe") != std::string::npos)
      return true;
  return false;
}

// In a child for prefix, its output discarded (and, with in_group, its input
// too, in a process group of its own, in drive_c).
pid_t fork_for_prefix(const std::string &prefix, bool in_group) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    if (in_group)
      setpgid(0, 0);
    const int null = open("/dev/null", O_RDWR);
    if (in_group)
      dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    setenv("WINEPREFIX", prefix.c_str(), 1);
    setenv("WINEDEBUG", "-all", 1);
    if (in_group && chdir((prefix + "/drive_c").c_str()) != 0)
      _exit(126);
  } else if (pid > 0 && in_group) {
    setpgid(pid, pid);
  }
  return pid;
}

// `sh -c script` in prefix, in a group of its own that end_wine stops.
pid_t start_in_prefix(const std::string &prefix, const char *script) {
  const pid_t pid = fork_for_prefix(prefix, true);
  if (pid == 0) {
    execl("/bin/sh", "sh", "-c", script, static_cast<char *>(nullptr));
    _exit(127);
  }
  return pid;
}

// Runs Wine's launcher with args in prefix and waits: its wait status.
int run_wine(const std::string &prefix, const std::vector<const char *> &args) {
  const char *wine = std::getenv("WINE_APP");
  const pid_t pid = fork_for_prefix(prefix, false);
  if (pid == 0) {
    std::vector<const char *> argv{"wine"};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back(nullptr);
    execvp(wine ? wine : "wine", const_cast<char *const *>(argv.data()));
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

// Starts `sleep 600 | wine cmd.exe` in the prefix and waits until cmd runs
// and Wine's services have stopped coming and going. Returns the group.
pid_t start_program(const std::string &prefix) {
  const pid_t pid = start_in_prefix(prefix, "sleep 600 | wine cmd.exe");
  const auto until = Clock::now() + std::chrono::seconds(120);
  std::set<int> last;
  int stable = 0;
  while (Clock::now() < until && stable < 20) {
    std::set<int> now = prefix_pids(prefix, true);
    stable = now == last && runs_cmd(now) ? stable + 1 : 0;
    last = now;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (stable < 20)
    std::fprintf(stderr, "cmd.exe did not settle in %s\n", prefix.c_str());
  return pid;
}

// Ends the program started for the round, waits for what the helper started
// in the prefix (the program, Wine's services, the wineserver) to end, and
// kills what is left of it.
void end_wine(const std::string &prefix, pid_t group) {
  kill(-group, SIGKILL);
  waitpid(group, nullptr, 0);
  const auto until = Clock::now() + std::chrono::seconds(30);
  while (!prefix_pids(prefix, false).empty() && Clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  for (int pid : prefix_pids(prefix, false))
    kill(pid, SIGKILL);
  sh("WINEPREFIX=" + quote(prefix) + " wineserver -k 2>/dev/null");
}

// Files that a large installation leaves: folders of 40 small files.
void add_files(const std::string &prefix, int files) {
  const std::string base = prefix + "/drive_c/Program Files/Bench Suite";
  mkdir(base.c_str(), 0755);
  for (int i = 0; i < files; ++i) {
    const std::string folder = base + "/module" + std::to_string(i / 40);
    if (i % 40 == 0)
      mkdir(folder.c_str(), 0755);
    const std::string file = folder + "/part" + std::to_string(i % 40) + ".dll";
    const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || write(fd, "MZ", 2) != 2) {
      std::perror(file.c_str());
      std::exit(1);
    }
    close(fd);
  }
}

struct Find {
  double helper_s, lsof_s;
  bool same;
};

Find time_find(const std::string &prefix, bool lsof_first) {
  char folder[PATH_MAX];
  if (!realpath(prefix.c_str(), folder))
    std::exit(1);
  Find f{};
  std::set<int> by_helper, by_lsof;
  auto helper = [&] {
    auto pids = std::make_unique<stop::PidList>();
    const auto t0 = Clock::now();
    stop::list_ids(processes::select("/proc", prefix_path::prefix_places_of(folder), nullptr),
                   *pids);
    f.helper_s = seconds_since(t0);
    std::istringstream ids(pids->text());
    for (int id; ids >> id;)
      by_helper.insert(id);
  };
  auto lsof = [&] {
    const std::string cmd = "lsof -t +D " + quote(folder) + " 2>/dev/null";
    std::fflush(nullptr);
    const auto t0 = Clock::now();
    FILE *p = popen(cmd.c_str(), "r");
    std::string out;
    char buf[4096];
    for (std::size_t n; p && (n = std::fread(buf, 1, sizeof(buf), p)) > 0;)
      out.append(buf, n);
    if (p)
      pclose(p);
    f.lsof_s = seconds_since(t0);
    std::istringstream ids(out);
    for (int id; ids >> id;)
      if (read_text("/proc/" + std::to_string(id) + "/maps").find("ntdll.dll") != std::string::npos)
        by_lsof.insert(id);
  };
  if (lsof_first) {
    lsof();
    helper();
  } else {
    helper();
    lsof();
  }
  f.same = by_helper == by_lsof && !by_helper.empty();
  if (!f.same)
    std::fprintf(stderr, "the searches differ: helper %zu ids, lsof %zu ids\n", by_helper.size(),
                 by_lsof.size());
  return f;
}

struct Change {
  double click_to_exit_s = -1;
  double stop_to_exit_s = -1; // from the first "已一次性终止" line, when there is one
  bool applied = false;
  bool on_disk = false; // user.reg held the value when the helper had exited
};

// user.reg's Desktop section holds LogPixels 120.
bool holds_120(const std::string &prefix) {
  const std::string text = read_text(prefix + "/user.reg");
  const std::size_t at = text.find("[Control Panel\\\\Desktop]");
  if (at == std::string::npos)
    return false;
  const std::size_t end = text.find("\n[", at);
  return text.substr(at, end == std::string::npos ? end : end - at)
             .find("\"LogPixels\"=dword:00000078") != std::string::npos;
}

// Runs the driver on the prefix, choosing 120 DPI (the copies are at 96).
Change time_change(const std::string &driver, const std::string &prefix) {
  int out[2];
  if (pipe(out) != 0)
    std::exit(1);
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(out[1], 2);
    close(out[0]);
    close(out[1]);
    setenv("WINEPREFIX", prefix.c_str(), 1);
    setenv("WINEDEBUG", "-all", 1);
    setenv("NIVRA_DRIVE_DPI", "120", 1);
    execl(driver.c_str(), driver.c_str(), "cmd.exe", "/c", "exit", static_cast<char *>(nullptr));
    _exit(127);
  }
  close(out[1]);
  // The program the helper starts, and Wine's processes, may keep the pipe
  // open after the helper's exit: read it until the helper has ended, no
  // longer. The helper flushes its line right after each stop.
  Clock::time_point clicked{}, stopped{}, exited{};
  std::string text;
  int status = 0;
  pollfd pipe_end{out[0], POLLIN, 0};
  auto read_some = [&] {
    char buf[4096];
    const ssize_t n = read(out[0], buf, sizeof(buf));
    if (n <= 0) {
      pipe_end.fd = -1;
      return;
    }
    text.append(buf, static_cast<std::size_t>(n));
    if (clicked == Clock::time_point{} && text.find("driver: clicked\n") != std::string::npos)
      clicked = Clock::now();
    if (stopped == Clock::time_point{} && text.find("已一次性终止") != std::string::npos)
      stopped = Clock::now();
  };
  while (exited == Clock::time_point{}) {
    if (poll(&pipe_end, 1, 5) > 0)
      read_some();
    if (waitpid(pid, &status, WNOHANG) == pid)
      exited = Clock::now();
  }
  const bool on_disk = holds_120(prefix);
  fcntl(out[0], F_SETFL, O_NONBLOCK);
  while (pipe_end.fd >= 0)
    read_some();
  close(out[0]);
  Change c;
  c.applied = WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
              text.find("DPI设置成功生效，当前DPI值: 120\n") != std::string::npos &&
              clicked != Clock::time_point{};
  c.on_disk = on_disk;
  if (c.applied) {
    c.click_to_exit_s = std::chrono::duration<double>(exited - clicked).count();
    if (stopped != Clock::time_point{})
      c.stop_to_exit_s = std::chrono::duration<double>(exited - stopped).count();
  } else {
    std::fprintf(stderr, "the DPI change did not go through (status %d):\n%s\n", status,
                 text.c_str());
  }
  return c;
}

struct Kind {
  const char *name;
  std::string tpl;
  std::vector<double> helper{}, lsof{}, change{}, after_stop{};
  int failures = 0;
};

// Click to exit falls on a grid of whole seconds (the timer, the checks of
// user.reg), so the mean tells small shifts that the median rounds away.
double mean(const std::vector<double> &v) {
  double sum = 0;
  for (double x : v)
    sum += x;
  return v.empty() ? 0 : sum / static_cast<double>(v.size());
}

std::string list(const std::vector<double> &v, double scale) {
  std::string s;
  char buf[32];
  for (double x : v) {
    std::snprintf(buf, sizeof(buf), "%s%.*f", s.empty() ? "" : " ", scale > 1 ? 1 : 2, x * scale);
    s += buf;
  }
  return s;
}

struct ColdReg {
  double end_s = -1;     // the launcher has ended
  double on_disk_s = -1; // user.reg holds the value, which Wine's server saves when it ends
};

// A cold `wine reg add` of LogPixels 120 on prefix, nothing of it running:
// from the start to the end of the launcher, as the helper runs it, and on to
// the moment user.reg holds the value.
ColdReg time_cold_reg(const std::string &prefix) {
  const auto t0 = Clock::now();
  const int status = run_wine(prefix, {"reg", "add", "HKEY_CURRENT_USER\\Control Panel\\Desktop",
                                       "/v", "LogPixels", "/t", "REG_DWORD", "/d", "120", "/f"});
  ColdReg r;
  r.end_s = seconds_since(t0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "wine reg add failed (status %d)\n", status);
    return {};
  }
  while (!holds_120(prefix) && seconds_since(t0) < 60)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  r.on_disk_s = holds_120(prefix) ? seconds_since(t0) : -1;
  return r;
}

// Waits until nothing of prefix runs any more (the helper's program, Wine's
// services, the server), killing what is left after 30 s.
void quiet(const std::string &prefix) {
  const auto until = Clock::now() + std::chrono::seconds(30);
  while (!prefix_pids(prefix, false).empty() && Clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  for (int pid : prefix_pids(prefix, false))
    kill(pid, SIGKILL);
}

// The DPI change on a prefix with nothing running against a cold reg add.
int dpi_against_reg(const std::string &work, const std::string &tpl, const std::string &driver,
                    int rounds) {
  const std::string a = work + "/dpi-helper", b = work + "/dpi-reg";
  std::vector<double> change, reg, ratio, disk, disk_ratio;
  int failures = 0;
  for (int round = 0; round < rounds; ++round) {
    sh("rm -rf " + quote(a) + " " + quote(b) + " && cp -a " + quote(tpl) + " " + quote(a) +
       " && cp -a " + quote(tpl) + " " + quote(b) + " && sync");
    Change c;
    ColdReg cold;
    for (int turn = 0; turn < 2; ++turn) {
      if ((turn + round) % 2 == 0) {
        c = time_change(driver, a);
        quiet(a);
      } else {
        cold = time_cold_reg(b);
        quiet(b);
      }
    }
    const double r = cold.end_s;
    const bool ok = c.applied && c.on_disk && r > 0 && cold.on_disk_s > 0;
    std::printf("dpi round %d: click to exit %.2f s (value on disk at exit: %s), cold reg add "
                "%.2f s (value on disk %.2f s), ratios %.2f and %.2f\n",
                round + 1, c.click_to_exit_s, c.on_disk ? "yes" : "NO", r, cold.on_disk_s,
                ok ? c.click_to_exit_s / r : 0.0, ok ? c.click_to_exit_s / cold.on_disk_s : 0.0);
    std::fflush(stdout);
    if (!ok) {
      ++failures;
      continue;
    }
    change.push_back(c.click_to_exit_s);
    reg.push_back(r);
    ratio.push_back(c.click_to_exit_s / r);
    disk.push_back(cold.on_disk_s);
    disk_ratio.push_back(c.click_to_exit_s / cold.on_disk_s);
  }
  sh("rm -rf " + quote(a) + " " + quote(b));
  if (!change.empty()) {
    std::printf("\nDPI change on a fresh prefix, nothing running, %zu rounds, medians:\n"
                "| click on 确定 to exit | cold wine reg add | ratio of medians | median of the "
                "rounds' ratios |\n|---|---|---|---|\n| %.2f s | %.2f s | %.2fx | %.2fx |\n",
                change.size(), median(change), median(reg), median(change) / median(reg),
                median(ratio));
    std::printf("| click on 确定 to exit | cold wine reg add until user.reg holds the value | "
                "ratio of medians | median of the rounds' ratios |\n|---|---|---|---|\n"
                "| %.2f s | %.2f s | %.2fx | %.2fx |\n",
                median(change), median(disk), median(change) / median(disk), median(disk_ratio));
    std::printf("each round: click to exit s %s; reg s %s; reg until on disk s %s\n",
                list(change, 1).c_str(), list(reg, 1).c_str(), list(disk, 1).c_str());
  }
  if (failures)
    std::printf("%d DPI rounds failed or left user.reg without the value at exit\n", failures);
  return failures;
}

std::string xwin_path() {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  std::string dir(self, n > 0 ? static_cast<std::size_t>(n) : 0);
  return dir.substr(0, dir.rfind('/') + 1) + "bench_xwin";
}

int xwin(const std::vector<std::string> &args) {
  std::string cmd = quote(xwin_path());
  for (const std::string &arg : args) {
    cmd += ' ';
    cmd += quote(arg);
  }
  const int status = std::system(cmd.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Starts notepad in prefix and types two letters into it; returns its group.
pid_t start_notepad(const std::string &prefix) {
  const pid_t pid = start_in_prefix(prefix, "exec wine notepad.exe");
  if (xwin({"wait", "Untitled - Notepad", "60000"}) != 0 ||
      xwin({"key", "Untitled - Notepad", "10000", "h", "i"}) != 0)
    std::fprintf(stderr, "notepad did not start in %s\n", prefix.c_str());
  // Its services settle first, as they would have long before a user clicks.
  std::this_thread::sleep_for(std::chrono::seconds(2));
  return pid;
}

// Wine's own request to close, timed from its start to its end.
double time_end_session(const std::string &prefix) {
  const auto t0 = Clock::now();
  const int status = run_wine(prefix, {"wineboot", "--end-session"});
  const double s = seconds_since(t0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "wineboot --end-session failed (status %d)\n", status);
    return -1;
  }
  return s;
}

// The DPI change with notepad asking to save against Wine's own end-session.
int close_against_wineboot(const std::string &work, const std::string &tpl,
                           const std::string &driver, int rounds) {
  const std::string a = work + "/close-helper", b = work + "/close-wineboot";
  std::vector<double> change, own, ratio;
  int failures = 0;
  for (int round = 0; round < rounds; ++round) {
    sh("rm -rf " + quote(a) + " " + quote(b) + " && cp -a " + quote(tpl) + " " + quote(a) +
       " && cp -a " + quote(tpl) + " " + quote(b) + " && sync");
    Change c;
    double w = -1;
    int asked_helper = -1, asked_wine = -1;
    for (int turn = 0; turn < 2; ++turn) {
      const bool helper = (turn + round) % 2 == 0;
      const std::string &prefix = helper ? a : b;
      const pid_t group = start_notepad(prefix);
      int &asked = helper ? asked_helper : asked_wine;
      std::thread answer([&asked] { asked = xwin({"key", "Notepad", "60000", "n"}); });
      if (helper)
        c = time_change(driver, prefix);
      else
        w = time_end_session(prefix);
      answer.join();
      end_wine(prefix, group);
    }
    const bool ok = c.applied && c.on_disk && w > 0 && asked_helper == 0 && asked_wine == 0;
    std::printf("close round %d: click to exit %.2f s, wineboot --end-session %.2f s, notepad "
                "asked: %s/%s, ratio %.2f\n",
                round + 1, c.click_to_exit_s, w, asked_helper == 0 ? "yes" : "NO",
                asked_wine == 0 ? "yes" : "NO", ok ? c.click_to_exit_s / w : 0.0);
    std::fflush(stdout);
    if (!ok) {
      ++failures;
      continue;
    }
    change.push_back(c.click_to_exit_s);
    own.push_back(w);
    ratio.push_back(c.click_to_exit_s / w);
  }
  sh("rm -rf " + quote(a) + " " + quote(b));
  if (!change.empty()) {
    std::printf("\nDPI change with notepad asking to save, %zu rounds, medians:\n"
                "| click on 确定 to exit | wineboot --end-session | ratio of medians | median of "
                "the rounds' ratios |\n|---|---|---|---|\n| %.2f s | %.2f s | %.2fx | %.2fx |\n",
                change.size(), median(change), median(own), median(change) / median(own),
                median(ratio));
    std::printf("each round: click to exit s %s; wineboot s %s\n", list(change, 1).c_str(),
                list(own, 1).c_str());
  }
  if (failures)
    std::printf("%d close rounds failed\n", failures);
  return failures;
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: prefix_bench WORKDIR TEMPLATE-PREFIX DRIVER [rounds] [files] "
                         "[dpi-rounds]\n");
    return 2;
  }
  const std::string work = argv[1], tpl = argv[2], driver = argv[3];
  const int rounds = argc > 4 ? std::max(0, std::atoi(argv[4])) : 5;
  const int files = argc > 5 ? std::max(0, std::atoi(argv[5])) : 100000;
  const int dpi_rounds = argc > 6 ? std::max(0, std::atoi(argv[6])) : 7;
  const int close_rounds = argc > 7 ? std::max(0, std::atoi(argv[7])) : 5;
  if (rounds == 0)
    return dpi_against_reg(work, tpl, driver, dpi_rounds) +
                   close_against_wineboot(work, tpl, driver, close_rounds)
               ? 1
               : 0;
  const std::string large = work + "/large-template", prefix = work + "/prefix";

  std::printf("making the large template: %d files in %d folders\n", files, (files + 39) / 40);
  std::fflush(stdout);
  sh("cp -a " + quote(tpl) + " " + quote(large));
  add_files(large, files);

  std::vector<Kind> kinds = {{"fresh prefix", tpl}, {"large prefix", large}};
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t k = 0; k < kinds.size(); ++k) {
      Kind &kind = kinds[(k + static_cast<std::size_t>(round)) % kinds.size()];
      sh("rm -rf " + quote(prefix) + " && cp -a " + quote(kind.tpl) + " " + quote(prefix) +
         " && sync");
      const pid_t group = start_program(prefix);
      const Find f = time_find(prefix, round % 2 == 1);
      kind.helper.push_back(f.helper_s);
      kind.lsof.push_back(f.lsof_s);
      const Change c = time_change(driver, prefix);
      if (c.applied) {
        kind.change.push_back(c.click_to_exit_s);
        if (c.stop_to_exit_s >= 0)
          kind.after_stop.push_back(c.stop_to_exit_s);
      }
      kind.failures += !f.same + !c.applied;
      end_wine(prefix, group);
      std::printf("round %d, %s: find %.2f ms (lsof %.0f ms), click to exit %.2f s, first stop "
                  "to exit %.2f s\n",
                  round + 1, kind.name, f.helper_s * 1e3, f.lsof_s * 1e3, c.click_to_exit_s,
                  c.stop_to_exit_s);
      std::fflush(stdout);
    }
  }
  sh("rm -rf " + quote(prefix) + " " + quote(large));

  auto seconds = [](const std::vector<double> &v) {
    char text[32] = "-";
    if (!v.empty())
      std::snprintf(text, sizeof(text), "%.2f s (mean %.2f)", median(v), mean(v));
    return std::string(text);
  };
  std::printf("\n%d rounds, medians; %d files in the large prefix\n", rounds, files);
  std::printf("| Prefix | find: helper | find: lsof -t +D | lsof / helper | click to exit | first "
              "stop to exit |\n|---|---|---|---|---|---|\n");
  for (const Kind &k : kinds)
    std::printf("| %s | %.2f ms | %.0f ms | %.0fx | %s | %s |\n", k.name, median(k.helper) * 1e3,
                median(k.lsof) * 1e3, median(k.lsof) / median(k.helper), seconds(k.change).c_str(),
                seconds(k.after_stop).c_str());
  const Kind &fresh = kinds[0], &big = kinds[1];
  auto ratio = [&](const char *label, const std::vector<double> &a, const std::vector<double> &b) {
    if (a.empty() || a.size() != b.size())
      return;
    std::vector<double> by_round;
    for (std::size_t r = 0; r < a.size(); ++r)
      by_round.push_back(a[r] / b[r]);
    std::printf("%s, large / fresh: %.2fx (means %.2fx, round by round %.2fx)\n", label,
                median(a) / median(b), mean(a) / mean(b), median(by_round));
  };
  ratio("click to exit", big.change, fresh.change);
  ratio("first stop to exit", big.after_stop, fresh.after_stop);
  for (const Kind &k : kinds)
    std::printf("%s, each round: helper ms %s; lsof ms %s; click to exit s %s; first stop to exit "
                "s %s\n",
                k.name, list(k.helper, 1e3).c_str(), list(k.lsof, 1e3).c_str(),
                list(k.change, 1).c_str(), list(k.after_stop, 1).c_str());
  std::printf("\n");
  const int dpi_failures = dpi_against_reg(work, tpl, driver, dpi_rounds) +
                           close_against_wineboot(work, tpl, driver, close_rounds);
  if (fresh.failures + big.failures + dpi_failures) {
    std::printf("%d runs failed (see above)\n", fresh.failures + big.failures + dpi_failures);
    return 1;
  }
  return 0;
}

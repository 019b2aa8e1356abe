// Real Wine benchmark: WINEDEBUG channels (the "崩溃信息" ones by default, +relay
// among them) on `cmd /c` counting up, about 84 MB of output, through
// `2>&1 | cat > file`, through captured runs (direct, 1 and 4 writer threads), and
// thrown away to /dev/null, the modes taking turns round by round. A captured run
// without a log sink, which reads and cuts the output but writes nothing, shows
// what the reading costs. Every run starts from a fresh copy of a prefix, so it
// starts its own wineserver cold, and is timed until Wine's last process has
// ended (`wineserver -w`); the copy is not timed. Prints the medians and the
// ratios, both of the medians and round by round (each round runs every mode
// once, so a slow spell of the machine weighs on all of them alike).
//
//   wine_bench WORKDIR TEMPLATE-PREFIX [rounds] [count] [modes] [channels]
//
// `modes` picks some of pipe, direct, 1, 4, none, null, discard and shm, comma-separated. Wine
// turns its debug channels off when its stderr is /dev/null (null), so that run traces nothing;
// discard is the same run as the captured ones, its trace thrown away through a pipe, and shm
// writes it into a file in memory (/dev/shm), the cheapest place it can go.
#include "debug/debug_dialog.hpp"
#include "settings/settings.hpp"
#include "timing.hpp"

#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace bench;

namespace {

off_t size_of(const std::string &path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

// Bytes in the log files, headers included.
off_t logged_bytes(const std::string &dir) {
  off_t total = 0;
  for (int i = 0; i < 5; ++i)
    total += size_of(dir + "/bench.log." + std::to_string(i));
  return total;
}

struct self_use {
  double cpu;    // seconds of user and system time, all threads
  long switches; // voluntary context switches
};

self_use self_now() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return {static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
              static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6,
          ru.ru_nvcsw};
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: wine_bench WORKDIR TEMPLATE-PREFIX [rounds] [count] [modes]\n");
    return 2;
  }
  const std::string work = argv[1], tpl = argv[2];
  const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
  const int count = argc > 4 ? std::max(1, std::atoi(argv[4])) : 300;
  const std::string picked = argc > 5 && *argv[5] ? "," + std::string(argv[5]) + "," : "";
  const char *channel = argc > 6 ? argv[6] : log_channel[2].channel;
  const std::string prefix = work + "/prefix", out = work + "/out", noise = work + "/noise.txt";
  const std::string command =
      "wine cmd /c \"for /l %i in (1,1," + std::to_string(count) + ") do @echo %i\"";
  setenv("WINEPREFIX", prefix.c_str(), 1);
  std::snprintf(sys_info, sizeof sys_info, "wine benchmark header\n");

  auto fresh_prefix = [&] {
    sh("rm -rf " + quote(prefix) + " && cp -a " + quote(tpl) + " " + quote(prefix));
  };
  auto end_wine = [&] { sh("wineserver -k 2>/dev/null; wineserver -w 2>/dev/null"); };
  // Until Wine's last process of the prefix has ended.
  auto wine_ended = [&] { sh("wineserver -w 2>/dev/null"); };

  struct Mode {
    const char *key;
    const char *name;
    int threads; // -1: the shell pipeline; -2: no log sink; -3: /dev/null; -4: a pipe to it
    std::vector<double> times{};
    off_t bytes = 0;
    std::vector<double> cpu{};
    std::vector<double> switches{};
  };
  std::vector<Mode> modes = {{"pipe", "2>&1 | cat > file", -1},
                             {"direct", "captured, direct", 0},
                             {"1", "captured, 1 writer", 1},
                             {"4", "captured, 4 writers", 4},
                             {"none", "captured, no log sink", -2},
                             {"null", "> /dev/null 2>&1", -3},
                             {"discard", "2>&1 | cat > /dev/null", -4},
                             {"shm", "> /dev/shm/FILE 2>&1", -5}};
  if (!picked.empty())
    modes.erase(std::remove_if(modes.begin(), modes.end(),
                               [&](const Mode &m) {
                                 std::string key = ",";
                                 key += m.key;
                                 key += ',';
                                 return picked.find(key) == std::string::npos;
                               }),
                modes.end());
  if (modes.empty()) {
    std::fprintf(stderr, "no such modes: %s\n", argv[5]);
    return 2;
  }
  std::printf("WINEDEBUG=%s, cmd counting to %d, %d rounds, medians\n", channel, count, rounds);
  for (int round = 0; round < rounds; ++round) {
    // Each round starts with another mode, so none is always first after a copy.
    for (std::size_t k = 0; k < modes.size(); ++k) {
      Mode &m = modes[(k + static_cast<std::size_t>(round)) % modes.size()];
      fresh_prefix();
      sh("sync");
      if (m.threads == -1 || m.threads <= -3) {
        // Wine writes no trace at all when its stderr is /dev/null; through a pipe it
        // writes it, and cat throws it away.
        const std::string shm = "/dev/shm/nivra-wine-bench.log";
        const std::string to = m.threads == -1   ? " 2>&1 | cat > " + quote(out + "/pipe.log")
                               : m.threads == -3 ? " > /dev/null 2>&1"
                               : m.threads == -4 ? " 2>&1 | cat > /dev/null"
                                                 : " > " + shm + " 2>&1";
        const std::string shell = "WINEDEBUG=" + std::string(channel) + "  " + command + to +
                                  "; wineserver -w 2>/dev/null";
        m.times.push_back(time_shell(shell, out));
        m.bytes = size_of(m.threads == -5 ? shm : out + "/pipe.log");
        std::remove(shm.c_str());
      } else {
        const self_use before = self_now();
        m.times.push_back(time_captured(channel, command, out, m.threads, noise, wine_ended));
        const self_use after = self_now();
        m.cpu.push_back(after.cpu - before.cpu);
        m.switches.push_back(static_cast<double>(after.switches - before.switches));
        m.bytes = logged_bytes(out);
      }
      end_wine();
    }
  }
  sh("rm -rf " + quote(out) + " " + quote(prefix));

  auto find = [&](const char *key) -> const Mode * {
    for (const Mode &m : modes)
      if (std::string(m.key) == key)
        return &m;
    return nullptr;
  };
  const Mode *base = find("null") ? find("null") : find("pipe") ? find("pipe") : &modes[0];
  for (const Mode &m : modes) {
    std::printf("%-22s %6.2f s  %5.2fx %s  (%.1f MB;", m.name, median(m.times),
                median(m.times) / median(base->times), base->key,
                static_cast<double>(m.bytes) / 1e6);
    for (double t : m.times)
      std::printf(" %.2f", t);
    std::printf(")\n");
    if (!m.cpu.empty())
      std::printf("%22s helper: %.2f s CPU, %.0f context switches\n", "", median(m.cpu),
                  median(m.switches));
  }
  // The ratio of the medians, then the median of the ratios within each round.
  auto ratio = [&](const char *label, const char *a, const char *b) {
    const Mode *x = find(a), *y = find(b);
    if (!x || !y)
      return;
    std::vector<double> per_round;
    for (std::size_t r = 0; r < x->times.size(); ++r)
      per_round.push_back(x->times[r] / y->times[r]);
    std::printf("%-22s %6.2f  (round by round %.2f)\n", label, median(x->times) / median(y->times),
                median(per_round));
  };
  ratio("direct / the pipe", "direct", "pipe");
  ratio("1 writer / direct", "1", "direct");
  ratio("4 writers / direct", "4", "direct");
  ratio("direct / no log sink", "direct", "none");
  ratio("direct / /dev/null", "direct", "null");
  ratio("4 writers / /dev/null", "4", "null");
  ratio("direct / | cat > /dev/null", "direct", "discard");
  ratio("4 writers / | cat > /dev/null", "4", "discard");
  ratio("| cat > /dev/null / /dev/null", "discard", "null");
  ratio("/dev/shm / /dev/null", "shm", "null");
  ratio("direct / /dev/shm", "direct", "shm");
  ratio("4 writers / /dev/shm", "4", "shm");
  return 0;
}

// Capture benchmark: the same Wine-relay-like output through a captured run into
// five 50 MB log files (direct, and with 1 and 4 writer threads), through `cat > file`,
// and through `multilog t`; prints MB/s for each and the ratios.
//
//   capture_bench WORKDIR [MiB] [rounds] [only]
//
// `only` (direct, one, queued, cat or multilog) runs that mode alone, for profiling.
// Every mode reads the input through a pipe from `cat`, so all of them pay for
// the same pipe. The median of the rounds is reported; MB here is 10^6 bytes.
#include "settings/settings.hpp"
#include "timing.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace bench;

namespace {

struct rng {
  std::uint64_t state;
  std::uint32_t next() {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<std::uint32_t>(state >> 33);
  }
};

// Lines shaped like WINEDEBUG=+relay,+seh output: Call/Ret pairs with hex
// arguments, now and then a trace line or a long string argument.
void make_input(const std::string &path, std::uint64_t bytes) {
  static const char *funcs[] = {"KERNEL32.HeapAlloc",
                                "KERNEL32.HeapFree",
                                "ntdll.RtlEnterCriticalSection",
                                "ntdll.RtlLeaveCriticalSection",
                                "user32.SendMessageW",
                                "user32.PeekMessageW",
                                "gdi32.SelectObject",
                                "KERNEL32.GetProcAddress",
                                "advapi32.RegQueryValueExW",
                                "KERNEL32.WideCharToMultiByte",
                                "ntdll.NtQueryInformationProcess",
                                "user32.DefWindowProcW"};
  std::FILE *out = std::fopen(path.c_str(), "w");
  if (!out) {
    std::perror(path.c_str());
    std::exit(1);
  }
  rng r{42};
  std::uint64_t written = 0;
  char line[1024];
  while (written < bytes) {
    const unsigned pid = 0x20 + r.next() % 4, tid = pid + 4 + r.next() % 3;
    const char *fn = funcs[r.next() % std::size(funcs)];
    const unsigned ret = 0x7b000000 + r.next() % 0xfffff;
    int n = 0;
    switch (r.next() % 8) {
    case 0:
      n = std::snprintf(line, sizeof line,
                        "%04x:%04x:trace:seh:dispatch_exception code=c0000005 flags=0 "
                        "addr=%08X ip=%08x tid=%04x\n",
                        pid, tid, ret, ret, tid);
      break;
    case 1:
      n = std::snprintf(line, sizeof line,
                        "%04x:%04x:Call %s(%08x,L\"C:\\\\windows\\\\system32\\\\%s.dll\",%08x) "
                        "ret=%08x\n",
                        pid, tid, fn, r.next(), "shell32", r.next(), ret);
      break;
    case 2:
    case 3:
    case 4:
      n = std::snprintf(line, sizeof line, "%04x:%04x:Call %s(%08x,%08x,%08x) ret=%08x\n", pid, tid,
                        fn, r.next(), r.next(), r.next(), ret);
      break;
    default:
      n = std::snprintf(line, sizeof line, "%04x:%04x:Ret  %s() retval=%08x ret=%08x\n", pid, tid,
                        fn, r.next(), ret);
      break;
    }
    std::fwrite(line, 1, static_cast<std::size_t>(n), out);
    written += static_cast<std::uint64_t>(n);
  }
  std::fclose(out);
}

std::uint64_t file_size(const std::string &path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: capture_bench WORKDIR [MiB] [rounds]\n");
    return 2;
  }
  const std::string work = argv[1];
  const std::uint64_t mib = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 200;
  const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
  const std::string only = argc > 4 ? argv[4] : "";
  auto wanted = [&](const char *mode) { return only.empty() || only == mode; };
  const bool have_multilog = wanted("multilog") && sh("command -v multilog >/dev/null") == 0;

  std::snprintf(sys_info, sizeof sys_info, "capture benchmark header\n");
  const std::string input = work + "/input.txt";
  if (file_size(input) < mib * 1024 * 1024)
    make_input(input, mib * 1024 * 1024);
  const double mb = static_cast<double>(file_size(input)) / 1e6;
  const std::string noise = work + "/run-output.txt";
  std::printf("input: %.1f MB of relay-like lines, %d rounds, median time\n", mb, rounds);

  struct Mode {
    const char *name;
    std::vector<double> times;
  };
  Mode direct{"captured run, direct", {}}, one{"captured run, 1 writer thread", {}},
      queued{"captured run, 4 writer threads", {}}, cat{"cat > file", {}},
      multilog{"multilog t", {}};
  const std::string out = work + "/out";
  const std::string feed = "cat " + quote(input);
  for (int round = 0; round < rounds; ++round) {
    if (wanted("direct"))
      direct.times.push_back(time_captured("", feed, out, 0, noise));
    if (wanted("one"))
      one.times.push_back(time_captured("", feed, out, 1, noise));
    if (wanted("queued"))
      queued.times.push_back(time_captured("", feed, out, 4, noise));
    if (wanted("cat"))
      cat.times.push_back(time_shell(feed + " | cat > " + quote(out + "/cat.log"), out));
    if (have_multilog)
      // 16777215 is the largest file size multilog accepts.
      multilog.times.push_back(
          time_shell(feed + " | multilog t s16777215 n5 " + quote(out + "/multilog"), out));
  }
  sh("rm -rf " + quote(out));

  auto rate = [&](const Mode &m) { return mb / median(m.times); };
  for (const Mode *m : {&direct, &one, &queued, &cat, &multilog})
    if (!m->times.empty())
      std::printf("%-32s %8.1f MB/s  (%.2f s)\n", m->name, rate(*m), median(m->times));
  if (!only.empty())
    return 0;
  const double best = std::max({rate(direct), rate(one), rate(queued)});
  if (have_multilog)
    std::printf("direct / multilog t             %8.2f   (goal >= 2)\n",
                rate(direct) / rate(multilog));
  else
    std::printf("multilog not installed: no ratio against it\n");
  std::printf("best captured / cat > file      %8.2f   (goal >= 0.3)\n", best / rate(cat));
  std::printf("1 writer / direct               %8.2f\n", rate(one) / rate(direct));
  std::printf("4 writers / direct              %8.2f\n", rate(queued) / rate(direct));
  return 0;
}

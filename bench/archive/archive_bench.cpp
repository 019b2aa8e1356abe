// Archive benchmark: the same log files through the archive of a debug run (redacted copies
// and system.txt in one .tar.xz) and through `tar -cJ` at the same xz level, side by side.
//
//   archive_bench WORKDIR [MiB] [rounds]
//
// The logs are 50 MiB files of Wine-like trace lines, many with the home folder and the
// user's profile path in them. Each round runs every mode once; the median is reported, in
// MB (10^6 bytes) of logs per second.
#include "report/archive.hpp"

#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct rng {
  std::uint64_t state;
  std::uint32_t next() {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<std::uint32_t>(state >> 33);
  }
};

int sh(const std::string &command) {
  std::fflush(nullptr);
  return std::system(command.c_str());
}

std::uint64_t file_size(const std::string &path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

void make_log(const std::string &path, std::uint64_t bytes, rng &r) {
  static const char *dlls[] = {"kernelbase", "ntdll", "user32", "gdi32",   "winex11.drv",
                               "comctl32",   "ole32", "d3d11",  "wined3d", "shell32"};
  std::FILE *out = std::fopen(path.c_str(), "w");
  if (!out) {
    std::perror(path.c_str());
    std::exit(1);
  }
  std::uint64_t written = static_cast<std::uint64_t>(
      std::fprintf(out, "sysname: Linux\nnodename: bench-host\nrelease: 6.1.0\nversion: #1 SMP\n"
                        "machine: x86_64\nnivra-wine version: wine-8.0\n"));
  char line[1024];
  while (written < bytes) {
    const unsigned pid = 0x20 + r.next() % 4, tid = pid + 4 + r.next() % 3;
    const char *dll = dlls[r.next() % std::size(dlls)];
    int n = 0;
    switch (r.next() % 6) {
    case 0:
      n = std::snprintf(line, sizeof line,
                        "20261211 08:00:00.%03u INFO     nivra-wine- %04x:%04x:trace:file:"
                        "CreateFileW L\"C:\\\\users\\\\wine\\\\AppData\\\\Roaming\\\\app\\\\%08x"
                        ".ini\" GENERIC_READ FILE_SHARE_READ  creation 3 attributes 0x80\n",
                        r.next() % 1000, pid, tid, r.next());
      break;
    case 1:
      n = std::snprintf(line, sizeof line,
                        "%04x:%04x:trace:file:nt_to_unix_file_name L\"\\\\??\\\\C:\\\\users\\\\wine"
                        "\\\\Desktop\" -> \"/home/wine/.wine/dosdevices/c:/users/wine/Desktop\"\n",
                        pid, tid);
      break;
    case 2:
      n = std::snprintf(line, sizeof line,
                        "%04x:%04x:trace:loaddll:build_module Loaded L\"C:\\\\windows\\\\"
                        "system32\\\\%s.dll\" at %016llX: builtin\n",
                        pid, tid, dll,
                        static_cast<unsigned long long>(r.next()) << 12 | 0x7b0000000000ULL);
      break;
    default:
      n = std::snprintf(line, sizeof line, "%04x:%04x:Call %s.%08x(%08x,%08x,%08x) ret=%08x\n", pid,
                        tid, dll, r.next(), r.next(), r.next(), r.next(), r.next());
      break;
    }
    std::fwrite(line, 1, static_cast<std::size_t>(n), out);
    written += static_cast<std::uint64_t>(n);
  }
  std::fclose(out);
}

// CPU seconds (user and system) of this process and of its waited-for children.
double cpu_seconds() {
  double s = 0;
  for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
    rusage u{};
    getrusage(who, &u);
    s += static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
  }
  return s;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: archive_bench WORKDIR [MiB] [rounds]\n");
    return 2;
  }
  const std::string work = argv[1];
  const std::uint64_t mib = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 200;
  const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
  const std::string logs = work + "/logs";
  sh("mkdir -p '" + logs + "'");

  const std::uint64_t per_file = 50ULL << 20;
  const int count = static_cast<int>(std::max<std::uint64_t>(1, (mib << 20) / per_file));
  rng r{42};
  std::string names;
  std::uint64_t total = 0;
  for (int i = count - 1; i >= 0; --i) {
    const std::string name = "bench.log." + std::to_string(i);
    if (file_size(logs + "/" + name) < std::min(per_file, mib << 20))
      make_log(logs + "/" + name, std::min(per_file, mib << 20), r);
    names += " " + name;
    total += file_size(logs + "/" + name);
  }
  const double mb = static_cast<double>(total) / 1e6;
  std::printf("logs: %d files, %.1f MB; xz level %u; %d rounds, median\n", count, mb,
              archive::kLevel, rounds);

  std::string level(1, '-');
  level += std::to_string(archive::kLevel);
  struct Mode {
    std::string name;
    std::vector<double> times, cpu;
    std::uint64_t size = 0;
  };
  Mode ours{"archive (redacted, as shipped)", {}, {}},
      ours1{"archive, 1 compressor thread", {}, {}}, tar{"XZ_OPT=" + level + " tar -cJ", {}, {}},
      tar_mt{"XZ_OPT='" + level + " -T0' tar -cJ", {}, {}};
  auto time_archive = [&](Mode &m, std::uint32_t threads) {
    archive::progress prog;
    archive::request req{logs,
                         archive::log_files(logs, "bench.log"),
                         "Command line: bench\n",
                         redact::identity{"wine", {"/home/wine"}, "bench-host"},
                         0,
                         threads};
    sh("sync");
    const double c0 = cpu_seconds();
    const auto t0 = std::chrono::steady_clock::now();
    const archive::result res = archive::make(req, "bench.log-archive.tar.xz", prog);
    m.times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    m.cpu.push_back(cpu_seconds() - c0);
    if (res.why != archive::failure::none) {
      std::fprintf(stderr, "archive failed: %d\n", static_cast<int>(res.why));
      std::exit(1);
    }
    m.size = file_size(res.path);
    std::remove(res.path.c_str());
  };
  auto time_tar = [&](Mode &m, const std::string &opt) {
    const std::string out = work + "/tar.tar.xz";
    sh("sync");
    const double c0 = cpu_seconds();
    const auto t0 = std::chrono::steady_clock::now();
    if (sh("cd '" + logs + "' && XZ_OPT='" + opt + "' tar -cJf '" + out + "'" + names) != 0)
      std::exit(1);
    m.times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    m.cpu.push_back(cpu_seconds() - c0);
    m.size = file_size(out);
    std::remove(out.c_str());
  };
  for (int round = 0; round < rounds; ++round) {
    time_archive(ours, 0);
    time_tar(tar, level);
    time_archive(ours1, 1);
    time_tar(tar_mt, level + " -T0");
  }
  // On a busy machine the wall clock also measures the others; CPU time does not.
  for (const Mode *m : {&ours, &ours1, &tar, &tar_mt})
    std::printf("%-34s %7.1f MB/s  %6.2f s  CPU %6.2f s  %6.1f MB out\n", m->name.c_str(),
                mb / median(m->times), median(m->times), median(m->cpu),
                static_cast<double>(m->size) / 1e6);
  std::printf("speed against tar -cJ, wall clock: archive %.2fx, archive with 1 thread %.2fx; "
              "against tar -cJ -T0: %.2fx\n",
              median(tar.times) / median(ours.times), median(tar.times) / median(ours1.times),
              median(tar_mt.times) / median(ours.times));
  std::printf("CPU time of tar -cJ over that of the archive: %.2fx (1 thread %.2fx)\n",
              median(tar.cpu) / median(ours.cpu), median(tar.cpu) / median(ours1.cpu));
  return 0;
}

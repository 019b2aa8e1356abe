#pragma once
// What both capture benchmarks time: a captured run through the project's own
// capture code, and a plain shell pipeline, each into a fresh output folder.
#include "debug/capture.hpp"
#include "log/log_sink.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace bench {

inline int sh(const std::string &command) {
  std::fflush(nullptr);
  return std::system(command.c_str());
}

inline std::string quote(const std::string &s) { return "'" + s + "'"; }

inline double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

inline void fresh_folder(const std::string &dir) {
  sh("rm -rf " + quote(dir) + " && mkdir -p " + quote(dir) + " && sync");
}

// One captured run into five 50 MB files in dir, with the program's own progress
// lines (and the run's stderr) appended to the file `noise`. threads < 0: read
// and cut the output without a log sink, so nothing is written. `then`, when
// given, is timed too, after the run has ended.
inline double time_captured(const char *channel, const std::string &command, const std::string &dir,
                            int threads, const std::string &noise,
                            const std::function<void()> &then = nullptr) {
  fresh_folder(dir);
  std::fflush(nullptr);
  const int saved_out = dup(1), saved_err = dup(2);
  const int fd = open(noise.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  dup2(fd, 1);
  dup2(fd, 2);
  close(fd);
  if (threads >= 0)
    init_log_sink(dir.c_str(), "bench.log", 50LL * 1024 * 1024, 5);
  const auto t0 = std::chrono::steady_clock::now();
  capture::run_captured(channel, "", command.c_str(), threads < 0 ? 0 : threads);
  if (then)
    then();
  const double s = seconds_since(t0);
  std::fflush(nullptr);
  dup2(saved_out, 1);
  dup2(saved_err, 2);
  close(saved_out);
  close(saved_err);
  return s;
}

inline double time_shell(const std::string &command, const std::string &dir) {
  fresh_folder(dir);
  const auto t0 = std::chrono::steady_clock::now();
  if (sh(command) != 0)
    std::fprintf(stderr, "failed: %s\n", command.c_str());
  return seconds_since(t0);
}

inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

} // namespace bench

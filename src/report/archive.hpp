#pragma once
// The archive of a debug run that can be posted: one .tar.xz beside the logs
// with the redacted copies of the log files, oldest first, and system.txt.
// Written under a hidden temporary name that is renamed only when the whole
// archive is on disk; on any failure nothing of it is left. The logs are only
// read. make() runs on any thread; progress and cancel are shared with the
// thread that shows them. No GTK.
#include "report/redact.hpp"

#include <atomic>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace archive {

// The xz preset, the same for the benchmark's tar -cJ.
inline constexpr std::uint32_t kLevel = 3;

struct progress {
  // Bytes of the logs compressed so far. Each file is read twice, first only to learn the size
  // of its redacted copy, which is quick beside the compression and not counted.
  std::atomic<std::uint64_t> done{0};
  std::atomic<std::uint64_t> total{0};
  std::atomic<bool> cancel{false};
  double fraction() const {
    const std::uint64_t t = total.load();
    return t ? static_cast<double>(done.load()) / static_cast<double>(t) : 0.0;
  }
};

enum class failure {
  none,
  cancelled,
  log_missing,       // `file` names it
  log_changed,       // it grew or shrank while it was read
  read_failed,       // `file`, `error`
  folder_unwritable, // `error`
  disk_full,
  write_failed, // `error`
  no_memory,
};

struct result {
  failure why = failure::none;
  int error = 0;
  std::string file; // the log file a failure is about
  std::string path; // the archive, when made
};

struct request {
  std::string dir;                // where the logs are and the archive goes
  std::vector<std::string> files; // log file names in dir, in the order they go in
  std::string system_txt;         // the facts, not yet redacted
  redact::identity who;
  std::time_t when = 0;      // names the archive
  std::uint32_t threads = 0; // compressor threads; 0: one per processor, at most 4
};

// The log files of a run: prefix.0, prefix.1, ... up to the first missing index,
// returned oldest (highest index) first. Entries that are not the user's own regular files
// (another user's file, a link or a FIFO planted in a shared folder) are left out, as the
// log writer leaves them alone.
std::vector<std::string> log_files(const std::string &dir, const std::string &prefix);

// "PREFIX-YYYYMMDD-HHMMSS.tar.xz" in local time.
std::string archive_name(const std::string &prefix, std::time_t when);

// What system.txt says at its top before the facts: the marks and what they stand for.
std::string legend();

// Makes dir/archive_name(name of files' prefix, when). The archive's folder inside is the
// archive's name without ".tar.xz".
result make(const request &req, const std::string &name, progress &prog);

} // namespace archive

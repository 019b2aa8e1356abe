#pragma once
// The archive of a debug run that can be posted: one .tar.xz beside the logs
// with the redacted copies of the log files, oldest first, and system.txt.
// Written under a hidden temporary name that is renamed only when the whole
// archive is on disk; on any failure nothing of it is left. The logs are only
// read. make() runs on any thread; progress and cancel are shared with the
// thread that shows them. No GTK.
#include "report/redact.hpp"

#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <mutex>
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
  // The hidden file being written, while there is one; whoever ends the process early may
  // remove it.
  std::mutex temp_lock;
  std::string temp;
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
  name_taken, // `file`: it and every next name are there; `others`: it is another user's
};

struct result {
  failure why = failure::none;
  int error = 0;
  std::string file; // the log file (or the archive's name) a failure is about
  std::string path; // the archive, when made
  bool others = false;
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

// "debug-PREFIX-YYYYMMDD-HHMMSS.tar.xz" in local time.
std::string archive_name(const std::string &prefix, std::time_t when);

// The names tried for an archive, in order: name itself, then "-2" to "-100" before ".tar.xz".
inline constexpr int kNames = 100;
std::string numbered_name(const std::string &name, int number);

// The permissions an archive of logs with these modes (and groups) gets in a folder where it is
// made with group gid: what the umask gives, and never more than any of the logs gives.
mode_t archive_mode(mode_t umask, gid_t gid, const std::vector<struct stat> &logs);

// What system.txt says at its top before the facts: the marks and what they stand for.
std::string legend();

// Makes dir/name, or the first of the numbered names that is free: whatever is at a name (a
// link another user planted) is never replaced. The archive's folder inside is name without
// ".tar.xz". Until it is complete it is a hidden file that only the user can open.
result make(const request &req, const std::string &name, progress &prog);

} // namespace archive

#pragma once
// Stops every process that runs Windows code in the current prefix: one
// listing of the processes holding files under the prefix (lsof), the
// ntdll.dll check in each one's memory map, then one `kill -9` for all of
// them. Main thread only; blocks until the listing and the kill have ended.
// The deciding half (the kill_prefix namespace) touches nothing but what it
// is handed, so it is tested without a system.
#include <cstddef>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

// Lists, selects and kills the prefix's Windows processes; prints
// "已一次性终止 %d 个进程: %s\n" when it killed any.
void kill_prefix_processes();

namespace kill_prefix {

// The ids chosen for the one kill command, as the command's text.
class PidList {
public:
  static constexpr std::size_t kSize = 4096;
  static constexpr std::size_t kFullAt = kSize - 32; // 4064 characters

  // Appends pid; returns false once the text has reached kFullAt characters
  // (the id just added is kept).
  bool add(int pid);
  int count() const { return count_; }
  const char *text() const { return text_; }

private:
  char text_[kSize] = {};
  std::size_t length_ = 0;
  int count_ = 0;
};

// "lsof -t +D <path> 2>/dev/null" with the path as one shell word; none when
// the command would not fit its 1024-byte buffer.
std::optional<std::string> listing_command(const std::string &prefix);

// "kill -9 <ids> 2>/dev/null".
std::string kill_command(const PidList &pids);

// The process id at the start of one listing line (cut at its line feed), read
// as atoi reads it; 0 when there is none or it is not positive.
int pid_of_listing_line(char *line);

// True when a line of the memory map (read in 1023-character pieces) names
// ntdll.dll, the core module of every process that runs Windows code.
bool map_names_ntdll(std::FILE *maps);

// Reads the listing and adds every id for which runs_windows_code holds,
// stopping with "警告：kill_pids缓冲区即将满，已处理 %d 个进程\n" on stderr
// when the list is full.
void collect_pids(std::FILE *listing, const std::function<bool(int)> &runs_windows_code,
                  PidList &pids);

// True when /proc/<pid>/maps can be read and names ntdll.dll.
bool process_maps_ntdll(int pid);

} // namespace kill_prefix

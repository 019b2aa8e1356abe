#pragma once
// Stops every process that runs Windows code in the current prefix: the
// processes that hold something at or below the prefix folder (read from
// /proc, never by walking the prefix) and map ntdll.dll, killed by one
// `kill -9`; and, after the DPI is written, the prefix's server, which is asked
// to save the registry and end. Main thread only; blocks until the kill has
// returned (and the server has ended). The deciding half (the kill_prefix
// namespace) reads only the /proc folder it is handed.
#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

// Finds, selects and kills the prefix's Windows processes; prints
// "已一次性终止 %d 个进程: %s\n" when it killed any.
void kill_prefix_processes();

// kill_prefix_processes, then asks the prefix's wineserver to save the
// registry and end at once (SIGTERM) and waits until it has ended, at most
// kill_prefix::kServerWaitMs. Left alone, a server whose processes were killed
// saves only after a wait of its own.
void kill_prefix_processes_and_server();

// The prefix folder (wine_prefix, "~" expanded) resolved through its links, as
// the kernel names the files processes hold; empty when it is unset or no folder.
std::string resolved_prefix_folder();

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

// "kill -9 <ids> 2>/dev/null".
std::string kill_command(const PidList &pids);

// True when path is folder itself or lies below it: "/a/b" is below "/a",
// "/ab" is not. folder is absolute, with no trailing "/" unless it is "/".
bool at_or_below(std::string_view path, std::string_view folder);

// The file one line of a memory map names, with the kernel's "\012" turned
// back into a line feed; empty for anonymous and pseudo ("[heap]") mappings.
std::string map_line_path(std::string_view line);

// What a memory map shows, read line by line whatever the lines' length.
struct MapFacts {
  bool ntdll = false;       // a line names ntdll.dll, as every process running Windows code maps
  bool maps_folder = false; // a mapped file lies at or below the folder
};
MapFacts read_map(std::FILE *maps, std::string_view folder);

// Adds, in ascending order, every process under proc_root ("/proc") that maps
// ntdll.dll and holds something at or below folder (its working folder, root,
// executable, an open or a mapped file) and is still running once examined.
// Processes that cannot be read are skipped. Stops with
// "警告：kill_pids缓冲区即将满，已处理 %d 个进程\n" on stderr when the list is full.
void collect_pids(const char *proc_root, std::string_view folder, PidList &pids);

// The ids collect_pids would choose, all of them, ascending.
std::vector<int> windows_pids(const char *proc_root, std::string_view folder);

// Ids of the running servers of the prefix: processes whose executable's name
// begins with "wineserver" and that hold the folder itself open, as a server
// holds the prefix it serves.
std::vector<int> server_pids(const char *proc_root, std::string_view folder);

constexpr int kServerWaitMs = 5000;

} // namespace kill_prefix

#pragma once
// Finds the processes that run Windows code in the current prefix, read from
// /proc and never by walking the prefix: those that map ntdll.dll and hold
// something at or below the prefix folder, or map a file of the prefix's
// server folder, as every client of that server does; and the prefix's
// server. Each is examined once, with a pidfd opened while its /proc folder
// was still its own, so a later stop hits that process and no other. The
// deciding half reads only the files it is handed. Main thread only.
#include "prefix/prefix_path.hpp"
#include "util/own.hpp"

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace kill_prefix {

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
  bool maps_server = false; // a mapped file lies in a folder named server_dir
  std::vector<std::string> images; // the mapped files whose names end in ".exe"
};
MapFacts read_map(std::FILE *maps, std::string_view folder, std::string_view server_dir = {});

// One process of the prefix as it was examined.
struct Process {
  int pid = 0;
  own::fd pidfd{-1}; // -1 where the kernel has no pidfds, or for a made-up /proc
  std::string name;  // its Windows file name
  bool housekeeping = false;
};

// Every process under proc_root ("/proc") that runs Windows code in the
// prefix and is still running once examined, ascending. Processes that cannot
// be read are skipped.
std::vector<Process> select(const char *proc_root, const PrefixPlaces &prefix);

// The running servers of the prefix: processes whose executable's name begins
// with "wineserver" and that hold the folder itself open, as a server holds the
// prefix it serves.
std::vector<Process> servers(const char *proc_root, const PrefixPlaces &prefix);

// The names of the user's programs among procs, housekeeping left out, each once.
std::vector<std::string> program_names(const std::vector<Process> &procs);

// True once the process has ended (or its pid names another process).
bool ended(const Process &proc);

} // namespace kill_prefix

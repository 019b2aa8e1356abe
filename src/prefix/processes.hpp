#pragma once
// Finds the processes that run Windows code in the current prefix, read from
// /proc and never by walking the prefix: those that map ntdll.dll and a file
// of the prefix's own server folder, as every client of that server does
// (what they hold under the prefix folder says nothing: a program of another
// prefix may run from this one's drive_c); and the prefix's server. Each is examined once, with a
// pidfd opened while its /proc folder was still its own, so a later stop hits that process and no
// other. The deciding half reads only the files it is handed. Main thread only.
#include "prefix/prefix_path.hpp"
#include "util/own.hpp"

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace processes {

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
  unsigned long long start_time = 0; // in clock ticks after boot, as /proc/PID/stat gives it
  own::fd pidfd{-1};                 // opened while it was examined
  std::string name;                  // its Windows file name
  bool housekeeping = false;
  std::string desktop; // for Wine's desktop process of a named desktop: its name
};

// The same process seen twice: the same id, started at the same time.
bool same_process(const Process &a, const Process &b);

// The user's programs among procs that are not among agreed, the programs the
// user agreed to close: a new copy of an agreed name is a new program.
std::vector<const Process *> not_agreed(const std::vector<Process> &procs,
                                        const std::vector<Process> &agreed);

// True when one of procs runs a Wine desktop other than the default one,
// whose windows wineboot does not ask.
bool other_desktop(const std::vector<Process> &procs);

// The user's programs among procs (housekeeping left out), moved out of it.
std::vector<Process> take_programs(std::vector<Process> &procs);

// Every process under proc_root ("/proc") that runs Windows code in the
// prefix and is still running once examined, ascending. Processes that cannot
// be read are skipped. Those that own (when given) says were started by this
// helper itself count as housekeeping.
std::vector<Process> select(const char *proc_root, const prefix_path::PrefixPlaces &prefix,
                            bool (*own)(int pid));

// The running servers of the prefix: processes whose executable's name begins
// with "wineserver" and that hold the folder itself open, as a server holds the
// prefix it serves.
std::vector<Process> servers(const char *proc_root, const prefix_path::PrefixPlaces &prefix);

// The names of the user's programs among procs, housekeeping left out, each once.
std::vector<std::string> program_names(const std::vector<Process> &procs);

// True once the process has ended (or its pid names another process).
bool ended(const Process &proc);

} // namespace processes

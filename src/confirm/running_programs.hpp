#pragma once
// The user's programs that stopping the prefix would end: the Windows file
// name of each Windows process of the prefix, Wine's own housekeeping left
// out. The deciding half reads nothing; in_prefix reads /proc. Main thread only.
#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace running_programs {

// Wine's own processes, which Wine starts by itself and which hold no user's
// work: services and drivers, the desktop, the launcher that waits for a
// program, the prefix's set-up and the menu entries it writes.
inline constexpr std::array<std::string_view, 10> wine_housekeeping = {
    "services.exe", "winedevice.exe", "plugplay.exe", "rpcss.exe", "svchost.exe",
    "explorer.exe", "wineboot.exe",   "conhost.exe",  "start.exe", "winemenubuilder.exe"};

// Windows file names compare without regard to ASCII case.
bool is_wine_housekeeping(std::string_view file_name);

// The Windows file name of a Wine process: the last part of the first word of
// its /proc cmdline (Wine puts the program's Windows path there, a Unix path
// when started by one); comm, the kernel's name cut at 15 bytes, when that is
// empty.
std::string windows_file_name(std::string_view cmdline, std::string_view comm);

// The names to ask about, in the order given: housekeeping left out, each
// name once.
std::vector<std::string> to_ask_about(const std::vector<std::string> &names);

// The names to ask about for the processes kill_prefix_processes would stop
// now under proc_root ("/proc"); empty when there are none.
std::vector<std::string> in_prefix(const char *proc_root = "/proc");

} // namespace running_programs

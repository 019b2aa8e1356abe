#pragma once
// The user's programs among a prefix's Windows processes: the Windows file
// name of each, and Wine's own housekeeping, told by its name and by where its
// program file is. Decides only; reads nothing.
#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace programs {

// Wine's own processes, which Wine starts by itself and which hold no user's
// work: services and drivers, the desktop, the launcher that waits for a
// program, the prefix's set-up and the menu entries it writes.
inline constexpr std::array<std::string_view, 10> wine_housekeeping = {
    "services.exe", "winedevice.exe", "plugplay.exe", "rpcss.exe", "svchost.exe",
    "explorer.exe", "wineboot.exe",   "conhost.exe",  "start.exe", "winemenubuilder.exe"};

// Windows file names compare without regard to ASCII case.
bool same_name(std::string_view a, std::string_view b);
bool is_wine_housekeeping(std::string_view file_name);

// True when image, a program file a process maps, is where Wine keeps its own
// programs: a folder of Wine's builtin ones (".../wine/x86_64-windows/"), or
// the prefix's system32 or syswow64.
bool in_wine_place(std::string_view image, std::string_view prefix_folder);

// Housekeeping is a name of the list whose program file, among the images the
// process maps, is in a Wine place: a user's C:\Games\X\start.exe is not.
bool is_housekeeping(std::string_view name, const std::vector<std::string> &images,
                     std::string_view prefix_folder);

// The Windows file name of a Wine process: the last part of the first word of
// its /proc cmdline (Wine puts the program's Windows path there, a Unix path
// when started by one); comm, the kernel's name cut at 15 bytes, when that is
// empty.
std::string windows_file_name(std::string_view cmdline, std::string_view comm);

// The desktop a Wine desktop process runs, from its /proc cmdline
// ("explorer.exe\0/desktop=Side,800x600\0notepad.exe"): "Side"; empty for the
// default desktop ("/desktop" alone) or none.
std::string desktop_of(std::string_view cmdline);

// The names in the order given, each once, empty ones left out.
std::vector<std::string> to_ask_about(const std::vector<std::string> &names);

// The names of later that are not among earlier.
std::vector<std::string> not_among(const std::vector<std::string> &later,
                                   const std::vector<std::string> &earlier);

} // namespace programs

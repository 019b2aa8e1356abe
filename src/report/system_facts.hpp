#pragma once
// The facts a reader of a Wine bug report asks first, as the text of
// system.txt: distribution, kernel, Wine and its 32-bit half, the prefix, the
// display and the run. Reads files and runs small probes (each with a time
// limit, killed with its process group); never installs anything. No GTK; any thread.
#include <atomic>
#include <optional>
#include <string>
#include <string_view>

namespace system_facts {

// What the caller knows of the run and of the window.
struct run_info {
  std::string command;         // the shell command the run started
  std::string channels;        // the WINEDEBUG value
  std::string env;             // the extra assignments as typed
  std::string display_backend; // the toolkit's display, e.g. "X11" or "Wayland"
};

// "Name: value" lines, one fact each, ending with a newline. Not redacted. Files of the
// prefix are read only when they are regular files. Once *cancel is set the probes stop at
// once (within a tenth of a second) and what is left is quick.
std::string collect(const run_info &run, const std::atomic<bool> *cancel = nullptr);

// Kills the probe that runs now, if any: for the end of the process, which cannot wait for it.
void stop_probes();

// The distribution from the text of /etc/os-release: PRETTY_NAME, else NAME
// and VERSION; VERSION_ID follows in brackets when it is known.
std::string distribution(std::string_view os_release);

// A value of a section of Wine's text registry ("[Control Panel\\Desktop]"),
// unquoted; nullopt when the section or the value is missing.
std::optional<std::string> reg_value(std::string_view reg, std::string_view section,
                                     std::string_view name);

// The "#arch=" of a system.reg ("win32", "win64"); nullopt without one.
std::optional<std::string> prefix_arch(std::string_view system_reg);

// The Windows version a prefix shows: winecfg's choice from user.reg when
// set, else the product name and build from system.reg.
std::string windows_version(std::string_view system_reg, std::string_view user_reg);

} // namespace system_facts

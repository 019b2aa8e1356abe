#pragma once
// Reads the prefix's screen DPI (LogPixels under [Control Panel\\Desktop]) from
// user.reg. Main thread only; never writes the registry.
#include <cstddef>
#include <optional>
#include <string_view>

// The last DPI read successfully, "96" until then.
extern char current_dpi[20];

// Scans path for the value, reading at most dpi_reader::read_limit bytes of it
// (holes of a sparse file are skipped, not read); a path that is no regular
// file is treated as a missing one and never opened for long. On success writes the value's decimal
// text into dest (cut to size) and returns true. Prints its own result line.
bool read_dpi_from_user_reg(const char *path, char *dest, std::size_t size);

// Refreshes current_dpi from the prefix's user.reg and returns it, always.
const char *get_current_dpi();

namespace dpi_reader {

// Bytes of user.reg read at most; past them the rest is left with a warning.
inline constexpr std::size_t default_read_limit = 64u << 20;
extern std::size_t read_limit; // tests and fuzzing lower it

// The number after the first "dword:" of a line, read as %x reads it; empty
// when no digits follow or the value does not fit 32 bits.
std::optional<unsigned> parse_dword(std::string_view line);

} // namespace dpi_reader

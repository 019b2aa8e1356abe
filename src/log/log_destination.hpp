#pragma once
// The display-free half of choosing the log destination: reading the typed
// size and count, the byte count, splitting the chosen path and the scan for
// older files of the same name. Main thread; no GTK.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace log_destination {

// The units offered for the file size, in combo order; their factors are 1 << (10 * index).
inline constexpr const char *units[] = {"B", "KB", "MB", "GB"};
inline constexpr int unit_count = 4;
// Room for the unit text and for the byte count as decimal text, terminator included.
inline constexpr std::size_t unit_text_size = 10;
inline constexpr std::size_t bytes_text_size = 30;

// size times the factor of unit ("B", "KB", "MB", "GB", compared exactly); 0 for any other
// unit; nullopt when the product does not fit a signed 64-bit integer.
std::optional<std::int64_t> size_in_bytes(std::int64_t size, const char *unit);

// Reads the typed size and count the way atoll and atoi read them (leading blanks and a sign
// accepted), except that any text after the number but blanks makes it invalid. Returns 0 when both
// are valid (size and count are then written), 1 when the size is below 1 or its byte count in unit
// does not fit 64 bits, 2 when the count is below 1 or beyond the int range. The size is judged
// first.
int parse_size_input(const char *size_text, const char *count_text, const char *unit,
                     std::int64_t *size, int *count);

// True when name begins with prefix, byte for byte (a name equal to it included).
bool has_name_prefix(const char *name, const char *prefix);

// The index N of a log file name prefix.N (decimal, no leading zeros, at most 18 digits), or
// -1 for any other name.
std::int64_t log_file_index(std::string_view name, std::string_view prefix);

// Names of the log files prefix.0 .. prefix.(count - 1) in dir that are there but are not the
// user's own regular file with a single name (a link, a folder, a FIFO, another user's file, a
// second name of some file): the log never writes, moves or deletes them. Sorted.
std::vector<std::string> foreign_log_entries(const char *dir, const char *prefix,
                                             std::int64_t count);

// Offers every regular file of the user's own of dir whose name begins with prefix, in listing
// order, to ask(entry name); deletes those it answers true for, and prints the outcome of each
// deletion. A folder that cannot be opened is reported with perror and nothing is asked.
void scan_same_prefix_files(const char *dir, const char *prefix,
                            const std::function<bool(const char *name)> &ask);

} // namespace log_destination

// Writes the byte count of size in unit as "%lld" into out[out_size]. On a product that does not
// fit 64 bits it writes "0" and returns false.
bool size_to_bytes_text(std::int64_t size, const char *unit, char *out, std::size_t out_size);

// Splits path at its last sep: the text before it ("." without one) into *dir, the text after
// it (the whole path without one) into *name. Fills only places that hold nullptr; the caller
// releases both with free. A place stays nullptr when there is no memory.
void split_path(const char *path, char sep, char **dir, char **name);

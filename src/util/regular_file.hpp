#pragma once
// Reading files that come from outside (a prefix users download and unpack):
// only a regular file is read, never opened in a way that can wait on a FIFO or
// a device, and never more than a given size. Any thread.
#include <cstddef>
#include <string>

namespace regular_file {

// A descriptor of path (links followed) when it is a regular file, else -1. A FIFO, a device
// or a link to one is never opened for long: the open does not wait.
int open(const char *path);

// At most limit bytes of the regular file at path; empty when there is none. *cut (when
// given) is set when more was left.
std::string read(const std::string &path, std::size_t limit, bool *cut = nullptr);

} // namespace regular_file

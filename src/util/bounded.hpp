#pragma once
// Formatting into fixed-size buffers: the text is always terminated, and the
// caller learns whether it was cut.
#include <cstdarg>
#include <cstddef>

namespace bounded {

// printf into buf[size]; returns true when the whole text fitted.
[[gnu::format(printf, 3, 4)]] bool format(char *buf, std::size_t size, const char *fmt, ...);

// Appends printf output at *len, never past size - 1 bytes; *len grows by what was
// written. Returns true when the whole piece fitted.
[[gnu::format(printf, 4, 5)]] bool append(char *buf, std::size_t size, std::size_t *len,
                                          const char *fmt, ...);

} // namespace bounded

#include "util/bounded.hpp"

#include <cstdio>

namespace bounded {

bool format(char *buf, std::size_t size, const char *fmt, ...) {
  if (size == 0)
    return false;
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(buf, size, fmt, ap);
  va_end(ap);
  if (n < 0) {
    buf[0] = '\0';
    return false;
  }
  return static_cast<std::size_t>(n) < size;
}

bool append(char *buf, std::size_t size, std::size_t *len, const char *fmt, ...) {
  if (size == 0 || *len >= size - 1)
    return false;
  va_list ap;
  va_start(ap, fmt);
  std::size_t room = size - *len;
  int n = std::vsnprintf(buf + *len, room, fmt, ap);
  va_end(ap);
  if (n < 0) {
    buf[*len] = '\0';
    return false;
  }
  if (static_cast<std::size_t>(n) < room) {
    *len += static_cast<std::size_t>(n);
    return true;
  }
  *len = size - 1;
  return false;
}

} // namespace bounded

#include "util/regular_file.hpp"

#include "util/own.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace regular_file {

int open(const char *path) {
  struct stat st {};
  if (stat(path, &st) != 0 || !S_ISREG(st.st_mode))
    return -1;
  // Something else may be put in its place after the look: the open must not wait for it.
  int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0)
    return -1;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string read(const std::string &path, std::size_t limit, bool *cut) {
  if (cut)
    *cut = false;
  std::string text;
  own::fd fd(open(path.c_str()));
  if (!fd)
    return text;
  char buf[64 * 1024];
  while (text.size() < limit) {
    const ssize_t n = ::read(fd.get(), buf, std::min(sizeof buf, limit - text.size()));
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return text;
    text.append(buf, static_cast<std::size_t>(n));
  }
  char more;
  if (cut)
    *cut = ::read(fd.get(), &more, 1) > 0;
  return text;
}

} // namespace regular_file

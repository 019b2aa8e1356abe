#include "launch/output_capture.hpp"

#include <glib.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace output_capture {

namespace {

int make_unlinked_file() {
  const char *dir = g_get_tmp_dir();
  int fd = open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0)
    return fd;
  // File systems without O_TMPFILE.
  std::string path = std::string(dir) + "/nivra-output-XXXXXX";
  fd = mkostemp(path.data(), O_CLOEXEC);
  if (fd >= 0)
    unlink(path.c_str());
  return fd;
}

bool is_debug_line(std::string_view line) {
  // An optional thread id in hexadecimal, then the class.
  std::size_t at = line.find_first_not_of("0123456789abcdefABCDEF");
  if (at != std::string_view::npos && at > 0 && line[at] == ':')
    line.remove_prefix(at + 1);
  for (std::string_view cls : {"fixme:", "err:", "warn:", "trace:"})
    if (line.substr(0, cls.size()) == cls)
      return true;
  return false;
}

} // namespace

File::File() : fd_(make_unlinked_file()) {}

const std::string &File::finish() {
  if (!fd_)
    return text_;
  const std::size_t before = text_.size();
  std::array<char, 4096> buf{};
  ssize_t n;
  while (text_.size() < kMax &&
         (n = pread(fd_.get(), buf.data(), std::min(buf.size(), kMax - text_.size()),
                    static_cast<off_t>(text_.size()))) > 0)
    text_.append(buf.data(), static_cast<std::size_t>(n));
  std::fwrite(text_.data() + before, 1, text_.size() - before, stderr);
  std::fflush(stderr);
  return text_;
}

std::string first_error_line(std::string_view text) {
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
      line.remove_suffix(1);
    if (line.find_first_not_of(" \t") != std::string_view::npos && !is_debug_line(line))
      return std::string(line);
  }
  return {};
}

} // namespace output_capture

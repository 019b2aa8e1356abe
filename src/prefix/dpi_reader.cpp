#include "prefix/dpi_reader.hpp"

#include "prefix/prefix_path.hpp"
#include "util/own.hpp"
#include "util/regular_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

char current_dpi[20] = "96";

namespace {

constexpr char kSectionHeader[] = "[Control Panel\\\\Desktop]";
constexpr char kValueName[] = "\"LogPixels\"";
constexpr char kDword[] = "dword:";
constexpr char kUserReg[] = "/user.reg";

int hex_digit(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

} // namespace

namespace dpi_reader {

std::optional<unsigned> parse_dword(std::string_view line) {
  std::size_t at = line.find(kDword);
  if (at == std::string_view::npos)
    return std::nullopt;
  std::string_view s = line.substr(at + std::strlen(kDword));
  std::size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r')))
    ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    negative = s[i] == '-';
    ++i;
  }
  if (i + 2 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X') &&
      hex_digit(s[i + 2]) >= 0)
    i += 2;
  if (i >= s.size() || hex_digit(s[i]) < 0)
    return std::nullopt;
  std::uint64_t value = 0;
  for (; i < s.size() && hex_digit(s[i]) >= 0; ++i) {
    value = value * 16 + static_cast<unsigned>(hex_digit(s[i]));
    // A registry dword never exceeds 32 bits; a longer number is not taken
    // for a wrapped one.
    if (value > 0xffffffffu)
      return std::nullopt;
  }
  auto v = static_cast<unsigned>(value);
  return negative ? 0u - v : v;
}

} // namespace dpi_reader

namespace {

// Hands the file to scan() as fgets would cut it into pieces of at most 1023 bytes, each
// ended by its line feed or its length. Holes of a sparse file are zeros that are never read:
// a piece is only visible up to its first NUL, so at most the pieces a hole touches change.
class piece_reader {
public:
  piece_reader(int fd, std::size_t limit) : fd_(fd), left_(limit) {}

  // Calls take(piece) for every piece until it returns true; true when it did.
  // *cut is set when the read stopped at the size limit.
  template <typename Take> bool each(Take take, bool *cut) {
    *cut = false;
    off_t pos = 0;
    for (;;) {
      off_t data = lseek(fd_, pos, SEEK_DATA);
      if (data < 0 && errno != ENXIO)
        data = pos; // no hole support here: every byte is data
      if (data < 0) {
        // Only a hole is left; a piece cut by it ends there.
        break;
      }
      if (data > pos && zeros(static_cast<std::uint64_t>(data - pos), take))
        return true;
      off_t hole = lseek(fd_, data, SEEK_HOLE);
      if (hole < data)
        hole = std::numeric_limits<off_t>::max();
      for (pos = data; pos < hole;) {
        if (left_ == 0) {
          char next;
          *cut = pread(fd_, &next, 1, pos) > 0;
          return finish(take);
        }
        std::size_t want = std::min(sizeof(buf_), left_);
        if (hole - pos < static_cast<off_t>(want))
          want = static_cast<std::size_t>(hole - pos);
        ssize_t n = pread(fd_, buf_, want, pos);
        if (n < 0 && errno == EINTR)
          continue;
        if (n <= 0)
          return finish(take);
        left_ -= static_cast<std::size_t>(n);
        pos += n;
        for (ssize_t i = 0; i < n; ++i)
          if (add(buf_[i], take))
            return true;
      }
    }
    return finish(take);
  }

private:
  static constexpr std::size_t kPiece = 1023;

  template <typename Take> bool emit(Take &take) {
    line_[len_] = '\0';
    len_ = 0;
    return take(line_);
  }
  template <typename Take> bool add(char c, Take &take) {
    line_[len_++] = c;
    return (c == '\n' || len_ == kPiece) && emit(take);
  }
  // A run of n zero bytes: whole pieces of zeros are empty lines and change nothing.
  template <typename Take> bool zeros(std::uint64_t n, Take &take) {
    if (len_ + n < kPiece) {
      std::memset(line_ + len_, 0, n);
      len_ += n;
      return false;
    }
    n -= kPiece - len_;
    std::memset(line_ + len_, 0, kPiece - len_);
    len_ = kPiece;
    if (emit(take))
      return true;
    len_ = n % kPiece;
    std::memset(line_, 0, len_);
    return false;
  }
  template <typename Take> bool finish(Take &take) { return len_ > 0 && emit(take); }

  int fd_;
  std::size_t left_;
  char buf_[64 * 1024];
  char line_[kPiece + 1];
  std::size_t len_ = 0;
};

} // namespace

namespace dpi_reader {
std::size_t read_limit = default_read_limit;
} // namespace dpi_reader

bool read_dpi_from_user_reg(const char *path, char *dest, std::size_t size) {
  // A FIFO or a device named user.reg (a prefix is a folder users download) reads as missing.
  own::fd fd(regular_file::open(path));
  if (!fd) {
    std::fprintf(stderr, "无法打开注册表文件: %s\n", path);
    return false;
  }
  bool inside = false;
  bool found = false;
  bool cut = false;
  auto scan = [&](char *line) {
    line[std::strcspn(line, "\r\n")] = '\0';
    if (std::strstr(line, kSectionHeader)) {
      inside = true;
      return false;
    }
    if (!inside)
      return false;
    if (line[0] == '[') {
      inside = false;
      return false;
    }
    if (std::strstr(line, kValueName) && std::strstr(line, kDword)) {
      if (auto value = dpi_reader::parse_dword(line)) {
        std::snprintf(dest, size, "%u", *value);
        found = true;
        return true;
      }
    }
    return false;
  };
  auto reader = std::make_unique<piece_reader>(fd.get(), dpi_reader::read_limit);
  reader->each(scan, &cut);
  fd = own::fd(-1);
  if (cut)
    std::fprintf(stderr, "警告：注册表文件 %s 超过 %zu 字节，后面的内容没有读取\n", path,
                 dpi_reader::read_limit);
  if (found)
    std::printf("从文件 %s 解析到DPI: %s\n", path, dest);
  else
    std::fprintf(stderr, "在文件 %s 中未找到LogPixels值\n", path);
  return found;
}

const char *get_current_dpi() {
  std::string prefix = prefix_path::current();
  if (prefix.empty()) {
    std::fprintf(stderr, "错误：wineprefix未设置或为空\n");
    return current_dpi;
  }
  // As long as the system takes it: a path it refuses fails to open like a missing file.
  const std::string path = prefix + kUserReg;
  if (!read_dpi_from_user_reg(path.c_str(), current_dpi, sizeof(current_dpi)))
    std::fprintf(stderr, "警告：无法从注册表文件读取DPI值，使用默认值96\n");
  return current_dpi;
}

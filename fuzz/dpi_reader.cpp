// The user.reg reader against a model of it: fgets pieces of at most 1023
// bytes, each seen up to its first NUL and cut at its first CR or LF; the value
// taken only from the first line inside [Control Panel\\Desktop] whose number
// parses; only the bytes before the read limit are seen, and holes read as
// zeros. parse_dword against a %x reference with exact overflow checks.
#include "prefix/dpi_reader.hpp"
#include "fuzz_support.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

namespace {

constexpr std::string_view kHeader = "[Control Panel\\\\Desktop]";
constexpr std::string_view kDword = "dword:";

int hex_value(char c) {
  const char *digits = "0123456789abcdef";
  char lower = (c >= 'A' && c <= 'F') ? static_cast<char>(c - 'A' + 'a') : c;
  const char *at = lower ? std::strchr(digits, lower) : nullptr;
  return at ? static_cast<int>(at - digits) : -1;
}

// %x over the text after the first "dword:": blanks, a sign, a 0x prefix, hex
// digits; a number beyond 32 bits is refused, not wrapped.
std::optional<unsigned> reference_dword(std::string_view line) {
  std::size_t at = line.find(kDword);
  if (at == std::string_view::npos)
    return std::nullopt;
  std::string_view s = line.substr(at + kDword.size());
  std::size_t i = 0;
  while (i < s.size() && fuzz::is_c_space(s[i]))
    ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-'))
    negative = s[i++] == '-';
  if ((s.substr(i, 2) == "0x" || s.substr(i, 2) == "0X") && i + 2 < s.size() &&
      hex_value(s[i + 2]) >= 0)
    i += 2;
  unsigned __int128 value = 0;
  std::size_t digits = 0;
  for (; i < s.size() && hex_value(s[i]) >= 0; ++i, ++digits)
    if (value <= UINT64_MAX) // saturates far above 32 bits
      value = value * 16 + static_cast<unsigned>(hex_value(s[i]));
  if (digits == 0 || value > UINT32_MAX)
    return std::nullopt;
  auto v = static_cast<unsigned>(value);
  return negative ? 0u - v : v;
}

std::optional<unsigned> reference_scan(std::string_view file) {
  bool inside = false;
  for (std::string_view piece : fuzz::fgets_pieces(file, 1024)) {
    std::string_view line = piece.substr(0, piece.find('\0'));
    line = line.substr(0, line.find_first_of("\r\n"));
    if (line.find(kHeader) != std::string_view::npos) {
      inside = true;
      continue;
    }
    if (!inside)
      continue;
    if (!line.empty() && line[0] == '[') {
      inside = false;
      continue;
    }
    if (line.find("\"LogPixels\"") != std::string_view::npos &&
        line.find(kDword) != std::string_view::npos)
      if (auto value = reference_dword(line))
        return value;
  }
  return std::nullopt;
}

int reg_fd = -1;
char reg_path[64];

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  reg_fd = memfd_create("user.reg", 0);
  if (reg_fd < 0) {
    std::perror("memfd_create");
    std::exit(1);
  }
  std::snprintf(reg_path, sizeof(reg_path), "/proc/self/fd/%d", reg_fd);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::string_view in = fuzz::bytes(data, size);
  FUZZ_CHECK(dpi_reader::parse_dword(in) == reference_dword(in));

  // One input in three is read under a lower size limit (the reader then sees only the bytes
  // before it); one in three is split by a run of zeros, a real hole of the file when it
  // spans whole pages, which the reader skips but must see as fgets would.
  FUZZ_CHECK(ftruncate(reg_fd, 0) == 0);
  std::string seen(in);
  dpi_reader::read_limit = dpi_reader::default_read_limit;
  if (size % 3 == 1) {
    dpi_reader::read_limit = size / 3;
    seen.resize(std::min(size, dpi_reader::read_limit));
    FUZZ_CHECK(pwrite(reg_fd, data, size, 0) == static_cast<ssize_t>(size));
  } else if (size % 3 == 2) {
    const std::size_t at = (size * 7 / 13) % (size + 1);
    const std::size_t gap = (size % 5 == 0) ? (std::size_t{1} << 20) + size : 4096 * (size % 4);
    seen = std::string(in.substr(0, at)) + std::string(gap, '\0') + std::string(in.substr(at));
    FUZZ_CHECK(pwrite(reg_fd, data, at, 0) == static_cast<ssize_t>(at));
    FUZZ_CHECK(pwrite(reg_fd, data + at, size - at, static_cast<off_t>(at + gap)) ==
               static_cast<ssize_t>(size - at));
  } else {
    FUZZ_CHECK(pwrite(reg_fd, data, size, 0) == static_cast<ssize_t>(size));
  }

  // Exact-size heap buffers, so a write past the size is a sanitizer report.
  constexpr std::size_t kDpiSize = 20;
  auto dest = std::make_unique<char[]>(kDpiSize);
  std::memset(dest.get(), 'x', kDpiSize);
  const bool found = read_dpi_from_user_reg(reg_path, dest.get(), kDpiSize);
  const std::optional<unsigned> expected = reference_scan(seen);
  FUZZ_CHECK(found == expected.has_value());
  if (in.find(kHeader) == std::string_view::npos)
    FUZZ_CHECK(!found);
  if (!found) {
    for (std::size_t i = 0; i < kDpiSize; ++i)
      FUZZ_CHECK(dest[i] == 'x');
    return 0;
  }
  char text[16];
  std::snprintf(text, sizeof(text), "%u", *expected);
  FUZZ_CHECK(std::strcmp(dest.get(), text) == 0);
  FUZZ_CHECK(std::strspn(dest.get(), "0123456789") == std::strlen(dest.get()));
  FUZZ_CHECK(std::strtoull(dest.get(), nullptr, 10) <= 4294967295ull);

  // A smaller destination gets the same text cut, and nothing past its size.
  const std::size_t small = 1 + size % 11;
  auto cut = std::make_unique<char[]>(small);
  FUZZ_CHECK(read_dpi_from_user_reg(reg_path, cut.get(), small));
  FUZZ_CHECK(std::strlen(cut.get()) == std::min(std::strlen(text), small - 1));
  FUZZ_CHECK(std::strncmp(cut.get(), text, small - 1) == 0);
  return 0;
}

#include "confirm/dpi_reader.hpp"

#include "prefix/prefix_path.hpp"
#include "util/bounded.hpp"
#include "util/own.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>

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

bool read_dpi_from_user_reg(const char *path, char *dest, std::size_t size) {
  own::file fp(std::fopen(path, "r"));
  if (!fp) {
    std::fprintf(stderr, "无法打开注册表文件: %s\n", path);
    return false;
  }
  char line[1024];
  bool inside = false;
  bool found = false;
  while (std::fgets(line, sizeof(line), fp.get())) {
    line[std::strcspn(line, "\r\n")] = '\0';
    if (std::strstr(line, kSectionHeader)) {
      inside = true;
      continue;
    }
    if (!inside)
      continue;
    if (line[0] == '[') {
      inside = false;
      continue;
    }
    if (std::strstr(line, kValueName) && std::strstr(line, kDword)) {
      if (auto value = dpi_reader::parse_dword(line)) {
        std::snprintf(dest, size, "%u", *value);
        found = true;
        break;
      }
    }
  }
  fp.reset();
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
  char path[1024];
  if (prefix.size() + std::strlen(kUserReg) >= sizeof(path)) {
    std::fprintf(stderr, "错误：容器路径过长\n");
    return current_dpi;
  }
  if (!bounded::format(path, sizeof(path), "%s%s", prefix.c_str(), kUserReg)) {
    std::fprintf(stderr, "错误：路径构建失败\n");
    return current_dpi;
  }
  if (!read_dpi_from_user_reg(path, current_dpi, sizeof(current_dpi)))
    std::fprintf(stderr, "警告：无法从注册表文件读取DPI值，使用默认值96\n");
  return current_dpi;
}

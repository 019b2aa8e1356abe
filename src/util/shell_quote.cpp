#include "util/shell_quote.hpp"

#include <cstdio>

namespace shell {

bool is_plain_word(std::string_view text) {
  for (unsigned char c : text) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '/' || c == '.' || c == '_' || c == '-' || c == '+' || c == ',' || c == ':' ||
              c == '@' || c == '%';
    if (!ok)
      return false;
  }
  return true;
}

std::string quote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '\'';
  for (char c : text) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  out += '\'';
  return out;
}

std::string quote_if_needed(std::string_view text) {
  return is_plain_word(text) ? std::string(text) : quote(text);
}

void flush_std_streams() {
  std::fflush(stdout);
  std::fflush(stderr);
}

} // namespace shell

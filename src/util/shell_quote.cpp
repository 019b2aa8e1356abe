#include "util/shell_quote.hpp"

#include <cstdio>

namespace shell_quote {

bool is_plain_word(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    // Bytes beyond ASCII (letters of other scripts) mean nothing to the shell;
    // a tilde is expanded only at the start of a word.
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '/' || c == '.' || c == '_' || c == '-' || c == '+' || c == ',' || c == ':' ||
              c == '@' || c == '%' || c >= 0x80 || (c == '~' && i > 0);
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

} // namespace shell_quote

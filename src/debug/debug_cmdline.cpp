#include "debug/debug_cmdline.hpp"

#include "util/bounded.hpp"
#include "util/shell_quote.hpp"

#include <glib.h>

#include <cstdio>
#include <string>
#include <string_view>

namespace debug_cmdline {

namespace {

// Drops a multibyte character that the cut left incomplete, so the entry is
// never handed a lead byte whose continuation is missing.
void drop_partial_char(char *buf, std::size_t *len) {
  std::size_t start = *len;
  int continuation = 0;
  while (start > 0 && continuation < 4 &&
         (static_cast<unsigned char>(buf[start - 1]) & 0xC0) == 0x80) {
    --start;
    ++continuation;
  }
  if (start == 0)
    return;
  auto lead = static_cast<unsigned char>(buf[start - 1]);
  std::size_t need = 1;
  if ((lead & 0xE0) == 0xC0)
    need = 2;
  else if ((lead & 0xF0) == 0xE0)
    need = 3;
  else if ((lead & 0xF8) == 0xF0)
    need = 4;
  if (need > 1 && static_cast<std::size_t>(continuation) + 1 < need) {
    *len = start - 1;
    buf[*len] = '\0';
  }
}

// Inside double quotes the shell still expands $ and `, and a backslash before
// \\, $, `, " or a line break (or before the closing quote) is taken away.
bool literal_in_double_quotes(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '$' || c == '`' || c == '"')
      return false;
    if (c == '\\') {
      if (i + 1 == text.size())
        return false;
      const char next = text[i + 1];
      if (next == '\\' || next == '$' || next == '`' || next == '"' || next == '\n')
        return false;
    }
  }
  return true;
}

// A word after the first is never an assignment, so '=' is literal there too;
// but a tilde after '=' would still be expanded by some shells.
bool plain_argument(std::string_view text) {
  if (text.empty())
    return false;
  if (text.find('=') == std::string_view::npos)
    return shell_quote::is_plain_word(text);
  if (text.find('~') != std::string_view::npos)
    return false;
  std::string without(text);
  std::erase(without, '=');
  return shell_quote::is_plain_word(without);
}

// The entry shows UTF-8 only, so bytes that are not (a file name in another
// encoding) come from printf, as octal escapes in its format: no conversion, no
// trailing line break to lose. The rest of the text is single-quoted around them.
std::string raw_bytes_word(std::string_view text) {
  std::string out;
  const char *p = text.data();
  const char *const end = p + text.size();
  while (p < end) {
    const char *valid_end = p;
    g_utf8_validate(p, end - p, &valid_end);
    if (valid_end > p) {
      out += shell_quote::quote(std::string_view(p, static_cast<std::size_t>(valid_end - p)));
      p = valid_end;
      continue;
    }
    out += "\"$(printf '";
    do {
      char octal[8];
      std::snprintf(octal, sizeof octal, "\\%03o", static_cast<unsigned char>(*p++));
      out += octal;
      g_utf8_validate(p, end - p, &valid_end);
    } while (p < end && valid_end == p);
    out += "')\"";
  }
  return out;
}

// The shell word that gives the program exactly arg: drive paths in double
// quotes, plain words as they are, anything else single-quoted.
std::string argument_word(const char *arg) {
  if (!g_utf8_validate(arg, -1, nullptr))
    return raw_bytes_word(arg);
  if (is_windows_path(arg) && literal_in_double_quotes(arg))
    return std::string("\"") + arg + "\"";
  if (plain_argument(arg))
    return arg;
  return shell_quote::quote(arg);
}

} // namespace

bool compose(char (&buf)[kSize], const char *launcher, const char *const *args) {
  // One byte of the buffer is never used: every piece gets 1023 bytes minus
  // what is written as room, which keeps the text at 1022 bytes at most.
  constexpr std::size_t room = kSize - 1;
  std::size_t len = 0;
  buf[0] = '\0';
  bool fitted = bounded::append(buf, room, &len, " %s",
                                (g_utf8_validate(launcher, -1, nullptr)
                                     ? shell_quote::quote_if_needed(launcher)
                                     : raw_bytes_word(launcher))
                                    .c_str());
  for (const char *const *arg = args; fitted && arg && *arg; ++arg)
    fitted = bounded::append(buf, room, &len, " %s", argument_word(*arg).c_str());
  if (!fitted)
    drop_partial_char(buf, &len);
  return fitted;
}

} // namespace debug_cmdline

int is_windows_path(const char *text) {
  if (!text || text[0] == '\0' || text[1] != ':')
    return 0;
  char c = text[0];
  return ((c >= 'b' && c <= 'y') || (c >= 'B' && c <= 'Y')) ? 1 : 0;
}

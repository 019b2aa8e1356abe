// The pre-filled command line. The input's NUL-separated texts are the launcher
// and the arguments. is_windows_path agrees with a reference; a composed text
// that fits is read back, by the shell's own quoting rules, as exactly the
// launcher and the arguments, with nothing that the shell would expand or run;
// one that does not fit is cut to at most 1022 bytes of UTF-8.
#include "debug/debug_cmdline.hpp"
#include "fuzz_support.hpp"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <optional>

namespace {

bool reference_windows_path(std::string_view text) {
  constexpr std::string_view drives = "bcdefghijklmnopqrstuvwxyBCDEFGHIJKLMNOPQRSTUVWXY";
  return text.size() >= 2 && text[1] == ':' && drives.find(text[0]) != drives.npos;
}

// Well-formed UTF-8 by structure: each lead byte followed by as many
// continuation bytes as it announces.
bool valid_utf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    auto c = static_cast<unsigned char>(s[i]);
    std::size_t need = c < 0x80                ? 0
                       : c >= 0xC2 && c < 0xE0 ? 1
                       : c >= 0xE0 && c < 0xF0 ? 2
                       : c >= 0xF0 && c < 0xF5 ? 3
                                               : 99;
    if (need == 99 || i + need >= s.size())
      return false;
    for (std::size_t k = 1; k <= need; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
        return false;
    i += need + 1;
  }
  return true;
}

bool is_octal(char c) { return c >= '0' && c <= '7'; }

// The bytes of a "$(printf '\ooo...')" at s[i] inside double quotes; moves i past it.
bool printf_bytes(std::string_view s, std::size_t &i, std::string &word) {
  constexpr std::string_view open = "$(printf '", close = "')";
  if (s.substr(i, open.size()) != open)
    return false;
  i += open.size();
  while (i + 3 < s.size() && s[i] == '\\' && is_octal(s[i + 1]) && is_octal(s[i + 2]) &&
         is_octal(s[i + 3])) {
    word += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
    i += 4;
  }
  if (s.substr(i, close.size()) != close)
    return false;
  i += close.size();
  return true;
}

// The words /bin/sh makes of s, for the quoting the composition uses; nothing
// when s holds anything the shell would expand, run or read otherwise ('=' is
// literal only after the first word, which it would make an assignment).
std::optional<std::vector<std::string>> shell_words(std::string_view s) {
  constexpr std::string_view plain = "/._-+,:@%~";
  std::vector<std::string> words;
  std::size_t i = 0;
  while (i < s.size()) {
    if (s[i] == ' ') {
      ++i;
      continue;
    }
    std::string word;
    const std::size_t begin = i;
    for (; i < s.size() && s[i] != ' ';) {
      const char c = s[i];
      if (c == '\'') {
        const std::size_t end = s.find('\'', i + 1);
        if (end == s.npos)
          return std::nullopt;
        word += s.substr(i + 1, end - i - 1);
        i = end + 1;
      } else if (c == '\\' && i + 1 < s.size()) {
        word += s[i + 1];
        i += 2;
      } else if (c == '"') {
        for (++i; i < s.size() && s[i] != '"';) {
          if (s[i] == '$' && printf_bytes(s, i, word))
            continue;
          if (s[i] == '$' || s[i] == '`')
            return std::nullopt;
          if (s[i] == '\\' && i + 1 < s.size() &&
              std::string_view("\\$`\"\n").find(s[i + 1]) != std::string_view::npos)
            ++i;
          word += s[i++];
        }
        if (i == s.size())
          return std::nullopt;
        ++i;
      } else if (std::isalnum(static_cast<unsigned char>(c)) ||
                 static_cast<unsigned char>(c) >= 0x80 ||
                 (plain.find(c) != plain.npos && !(c == '~' && i == begin)) ||
                 (c == '=' && !words.empty())) {
        word += s[i++];
      } else {
        return std::nullopt;
      }
    }
    words.push_back(std::move(word));
  }
  return words;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::vector<std::string> texts = fuzz::split_at_nul(fuzz::bytes(data, size));
  if (texts.size() > 64)
    texts.resize(64);
  std::vector<const char *> args;
  std::size_t least = texts[0].size() + 1; // no composition is shorter
  for (std::size_t i = 1; i < texts.size(); ++i) {
    const bool drive = reference_windows_path(texts[i]);
    FUZZ_CHECK(is_windows_path(texts[i].c_str()) == (drive ? 1 : 0));
    least += texts[i].size() + 1;
    args.push_back(texts[i].c_str());
  }
  args.push_back(nullptr);
  FUZZ_CHECK(is_windows_path(nullptr) == 0);

  char buf[debug_cmdline::kSize];
  const bool fitted = debug_cmdline::compose(buf, texts[0].c_str(), args.data());
  const std::string_view text(buf);
  constexpr std::size_t kMax = debug_cmdline::kSize - 2;
  FUZZ_CHECK(text.size() <= kMax);
  FUZZ_CHECK(valid_utf8(text));
  if (least > kMax)
    FUZZ_CHECK(!fitted);
  // An empty launcher is no word at all: there is no command to read the rest.
  if (!fitted || texts[0].empty())
    return 0;
  const std::optional<std::vector<std::string>> words = shell_words(text);
  if (!words || *words != texts)
    std::fprintf(stderr, "composed: %s\n", buf);
  FUZZ_CHECK(words.has_value());
  FUZZ_CHECK(*words == texts);
  return 0;
}

// The pre-filled command line. The input's NUL-separated texts are the launcher
// and the arguments. is_windows_path agrees with a reference; the composed text
// is the full composition or its longest start that fits 1022 bytes without
// splitting a UTF-8 character.
#include "debuglog/debug_cmdline.hpp"
#include "fuzz_support.hpp"

#include <cstring>

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

bool char_boundary(std::string_view s, std::size_t at) {
  return at >= s.size() || (static_cast<unsigned char>(s[at]) & 0xC0) != 0x80;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::vector<std::string> texts = fuzz::split_at_nul(fuzz::bytes(data, size));
  if (texts.size() > 64)
    texts.resize(64);
  std::vector<const char *> args;
  std::string full = " " + texts[0];
  for (std::size_t i = 1; i < texts.size(); ++i) {
    const bool drive = reference_windows_path(texts[i]);
    FUZZ_CHECK(is_windows_path(texts[i].c_str()) == (drive ? 1 : 0));
    full += drive ? " \"" + texts[i] + "\"" : " " + texts[i];
    args.push_back(texts[i].c_str());
  }
  args.push_back(nullptr);
  FUZZ_CHECK(is_windows_path(nullptr) == 0);

  char buf[debug_cmdline::kSize];
  const bool fitted = debug_cmdline::compose(buf, texts[0].c_str(), args.data());
  const std::string_view text(buf);
  constexpr std::size_t kMax = debug_cmdline::kSize - 2;
  FUZZ_CHECK(text.size() <= kMax);
  FUZZ_CHECK(full.compare(0, text.size(), text) == 0);
  FUZZ_CHECK(fitted == (full.size() <= kMax));
  if (fitted) {
    FUZZ_CHECK(text.size() == full.size());
    return 0;
  }
  // A cut drops at most the three bytes of a character it would split.
  FUZZ_CHECK(text.size() + 3 >= kMax);
  if (valid_utf8(full)) {
    std::size_t longest = kMax;
    while (!char_boundary(full, longest))
      --longest;
    FUZZ_CHECK(text.size() == longest);
    FUZZ_CHECK(valid_utf8(text));
  }
  return 0;
}

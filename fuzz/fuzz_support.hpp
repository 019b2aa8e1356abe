#pragma once
// What the fuzz targets share: a check that stops the run with its expression
// (so libFuzzer keeps the input), and ways to cut an input into texts or
// stream it.
#include <sanitizer/common_interface_defs.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

// run.sh silences the targets' own stdout and stderr (the code under test
// prints on every call); the sanitizer's report channel still reaches the log.
#define FUZZ_CHECK(cond)                                                                           \
  do {                                                                                             \
    if (!(cond))                                                                                   \
      fuzz::fail(#cond, __FILE__, __LINE__);                                                       \
  } while (0)

namespace fuzz {

[[noreturn]] inline void fail(const char *what, const char *file, int line) {
  char msg[512];
  std::snprintf(msg, sizeof(msg), "fuzz check failed: %s at %s:%d", what, file, line);
  __sanitizer_report_error_summary(msg);
  std::abort();
}

inline std::string_view bytes(const std::uint8_t *data, std::size_t size) {
  return {reinterpret_cast<const char *>(data), size};
}

// The input cut at its NUL bytes: the texts a C caller could be handed.
inline std::vector<std::string> split_at_nul(std::string_view in) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = in.find('\0', start);
    out.emplace_back(in.substr(start, end - start));
    if (end == std::string_view::npos)
      return out;
    start = end + 1;
  }
}

// The text as a C function sees it: up to its first NUL.
inline std::string c_text(std::string_view in) { return std::string(in.substr(0, in.find('\0'))); }

// A read-only stream over the bytes, NULs included.
inline std::FILE *open_bytes(std::string &keep) { return fmemopen(keep.data(), keep.size(), "r"); }

// The pieces fgets hands a reader with a buffer of size bytes: at most size - 1
// bytes, up to and including a line feed.
inline std::vector<std::string_view> fgets_pieces(std::string_view in, std::size_t size) {
  std::vector<std::string_view> out;
  while (!in.empty()) {
    std::size_t n = in.substr(0, size - 1).find('\n');
    n = n == std::string_view::npos ? std::min(in.size(), size - 1) : n + 1;
    out.push_back(in.substr(0, n));
    in.remove_prefix(n);
  }
  return out;
}

inline bool is_c_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

} // namespace fuzz

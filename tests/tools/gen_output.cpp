// Prints numbered lines of varied length for the capture tests: empty lines,
// lines of exactly 511, 512 and 513 bytes, lines of several kilobytes, and a last
// line without a line break. The same arguments always give the same bytes.
//
//   gen_output [--seed N] [--lines N] [--stderr] [--final-newline] [--nul]
//              [--line-by-line]
//
// --stderr writes everything to standard error; --nul puts NUL bytes into some
// lines; --final-newline ends the last line with a line break too;
// --line-by-line writes each line with a write of its own and pauses now and
// then, the way Wine prints its debug channels.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct rng {
  std::uint64_t state;
  std::uint64_t next() {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
};

// The lengths every run starts with, so each edge shows up whatever the seed.
constexpr std::size_t kFirstLengths[] = {0,    1,    7,    511,  512,  513, 0, 0,    1023,
                                         1024, 1025, 3000, 4096, 8191, 511, 2, 1536, 100};

std::size_t pick_length(rng &r) {
  switch (r.below(10)) {
  case 0:
    return 0;
  case 1:
  case 2:
  case 3:
    return 1 + r.below(120);
  case 4:
  case 5:
  case 6:
    return 121 + r.below(390);
  case 7: {
    constexpr std::size_t edges[] = {510, 511, 512, 513, 1024, 1535};
    return edges[r.below(std::size(edges))];
  }
  default:
    return 514 + r.below(9000);
  }
}

void fill_line(std::string &out, std::size_t index, std::size_t len, rng &r, bool nul) {
  char number[32];
  std::snprintf(number, sizeof number, "%06zu ", index);
  const std::size_t numlen = std::strlen(number);
  const std::size_t start = out.size();
  out.append(number, len < numlen ? len : numlen);
  static const char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
                                 " .,:;()[]{}<>=+-*/\\\"'!?#$%&|~^_@\t\r";
  while (out.size() - start < len) {
    const std::size_t room = len - (out.size() - start);
    const std::size_t roll = r.below(40);
    if (roll == 0 && room >= 3) {
      out += "\xe4\xb8\xad"; // a three-byte character that a cut may split
    } else if (roll == 1 && nul) {
      out += '\0';
    } else {
      out += alphabet[r.below(sizeof alphabet - 1)];
    }
  }
}

} // namespace

int main(int argc, char **argv) {
  std::uint64_t seed = 1;
  std::size_t lines = 200;
  bool to_stderr = false;
  bool final_newline = false;
  bool nul = false;
  bool line_by_line = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--seed" && i + 1 < argc) {
      seed = std::strtoull(argv[++i], nullptr, 10);
    } else if (arg == "--lines" && i + 1 < argc) {
      lines = std::strtoull(argv[++i], nullptr, 10);
    } else if (arg == "--stderr") {
      to_stderr = true;
    } else if (arg == "--final-newline") {
      final_newline = true;
    } else if (arg == "--nul") {
      nul = true;
    } else if (arg == "--line-by-line") {
      line_by_line = true;
    } else {
      std::fprintf(stderr, "usage: gen_output [--seed N] [--lines N] [--stderr] "
                           "[--final-newline] [--nul] [--line-by-line]\n");
      return 2;
    }
  }

  rng r{seed};
  std::string out;
  const int fd = to_stderr ? 2 : 1;
  bool ok = true;
  for (std::size_t i = 0; i < lines; ++i) {
    std::size_t len = i < std::size(kFirstLengths) ? kFirstLengths[i] : pick_length(r);
    const bool last = i + 1 == lines;
    if (last && !final_newline)
      len = 700 + r.below(300); // never a multiple of 512, never empty
    fill_line(out, i, len, r, nul);
    if (!last || final_newline)
      out += '\n';
    if (line_by_line) {
      ok = ok && write(fd, out.data(), out.size()) == static_cast<ssize_t>(out.size());
      out.clear();
      if (i % 64 == 63)
        usleep(3000);
    }
  }
  std::FILE *stream = to_stderr ? stderr : stdout;
  ok = ok && std::fwrite(out.data(), 1, out.size(), stream) == out.size();
  return ok && std::fflush(stream) == 0 ? 0 : 1;
}

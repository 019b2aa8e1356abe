// The capture read loop over the input as a stream: every byte except NULs
// reaches the blocks exactly once and in order (a block cut at a line break
// owes that break), blocks are terminated texts of at most 511 bytes, or
// exactly 512 for a piece of a longer line, and an unfinished last line comes
// last.
#include "debuglog/capture.hpp"
#include "fuzz_support.hpp"

#include <algorithm>
#include <cstring>

namespace {

struct seen {
  std::string rebuilt;
  std::size_t blocks = 0;
  bool ended = false;
};

void on_block(void *ctx, const char *block, std::size_t len, capture::block_end how) {
  auto &s = *static_cast<seen *>(ctx);
  FUZZ_CHECK(!s.ended);
  FUZZ_CHECK(std::strlen(block) == len);
  const bool has_break = std::memchr(block, '\n', len) != nullptr;
  switch (how) {
  case capture::block_end::line_break:
    FUZZ_CHECK(len < capture::read_size);
    s.rebuilt.append(block, len).push_back('\n');
    break;
  case capture::block_end::full_buffer:
    FUZZ_CHECK(len == capture::read_size && !has_break);
    s.rebuilt.append(block, len);
    break;
  case capture::block_end::end_of_output:
    FUZZ_CHECK(len > 0 && len < capture::read_size && !has_break);
    s.rebuilt.append(block, len);
    s.ended = true;
    break;
  }
  ++s.blocks;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::string stream(fuzz::bytes(data, size));
  std::string expected = stream;
  expected.erase(std::remove(expected.begin(), expected.end(), '\0'), expected.end());

  std::FILE *in = fuzz::open_bytes(stream);
  FUZZ_CHECK(in);
  seen s;
  const capture::loop_stats stats = capture::read_blocks(in, on_block, &s);
  std::fclose(in);
  FUZZ_CHECK(s.rebuilt == expected);
  FUZZ_CHECK(stats.bytes == size);
  FUZZ_CHECK(stats.nul_bytes == size - expected.size());
  FUZZ_CHECK(stats.blocks == s.blocks);
  return 0;
}

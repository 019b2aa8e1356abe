// The capture read loop over the input as a stream: every byte except NULs
// reaches the blocks exactly once and in order (a block cut at a line break
// owes that break), blocks are terminated texts of at most 511 bytes, or
// exactly 512 for a piece of a longer line, and an unfinished last line comes
// last; and the blocks are cut where a model of the loop cuts them.
#include "debug/capture.hpp"
#include "fuzz_support.hpp"

#include <algorithm>
#include <cstring>

namespace {

struct seen {
  std::string rebuilt;
  std::vector<std::pair<std::string, capture::block_end>> blocks_seen;
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
  s.blocks_seen.emplace_back(std::string(block, len), how);
  ++s.blocks;
}

// The loop as described, over strings: read 512 bytes less what is carried,
// drop NULs, cut before the last line break, or hand on a full buffer without
// one, else read on; what is left at the end comes last.
std::vector<std::pair<std::string, capture::block_end>> model_blocks(std::string_view raw) {
  std::vector<std::pair<std::string, capture::block_end>> out;
  std::string buf;
  auto read = [&](std::size_t want) {
    std::string_view piece = raw.substr(0, want);
    raw.remove_prefix(piece.size());
    for (char c : piece)
      if (c != '\0')
        buf += c;
    return piece.size();
  };
  for (std::size_t got = read(capture::read_size); got > 0;
       got = read(capture::read_size - buf.size())) {
    std::size_t brk = buf.rfind('\n');
    if (brk != std::string::npos) {
      out.emplace_back(buf.substr(0, brk), capture::block_end::line_break);
      buf.erase(0, brk + 1);
    } else if (buf.size() == capture::read_size) {
      out.emplace_back(buf, capture::block_end::full_buffer);
      buf.clear();
    }
  }
  if (!buf.empty())
    out.emplace_back(buf, capture::block_end::end_of_output);
  return out;
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
  FUZZ_CHECK(s.blocks_seen == model_blocks(fuzz::bytes(data, size)));
  return 0;
}

// The deciding half of stopping a prefix's processes, on one input read three
// ways: as lsof output (pids picked against a model of 31-byte fgets reads and
// atoi, the list's text and its limit), as a memory map (ntdll.dll found in a
// 1023-byte piece), and as a prefix path (the listing command keeps it as one
// shell word). PidList also gets the input's bytes as raw ints.
#include "display/kill_prefix.hpp"
#include "fuzz_support.hpp"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <memory>

namespace {

// atoi on one listing line cut at its line feed; only ids in 1..INT_MAX count.
int reference_pid(std::string_view piece) {
  std::string_view s = piece.substr(0, piece.find('\0'));
  s = s.substr(0, s.find('\n'));
  std::size_t i = 0;
  while (i < s.size() && fuzz::is_c_space(s[i]))
    ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-'))
    negative = s[i++] == '-';
  __int128 value = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i)
    if (value <= INT64_MAX)
      value = value * 10 + (s[i] - '0');
  if (negative)
    value = -value;
  return value > 0 && value <= INT_MAX ? static_cast<int>(value) : 0;
}

// Which ids "run Windows code": a rule that both keeps and drops some.
bool picked(int pid, std::size_t salt) { return (static_cast<std::size_t>(pid) + salt) % 3 != 0; }

void check_listing(std::string_view in) {
  std::string expected;
  int expected_count = 0;
  std::vector<int> expected_asked;
  for (std::string_view piece : fuzz::fgets_pieces(in, 32)) {
    int pid = reference_pid(piece);
    if (pid == 0)
      continue;
    expected_asked.push_back(pid);
    if (!picked(pid, in.size()))
      continue;
    expected += (expected_count++ ? " " : "") + std::to_string(pid);
    if (expected.size() >= kill_prefix::PidList::kFullAt)
      break;
  }

  std::string keep(in);
  std::FILE *listing = fuzz::open_bytes(keep);
  FUZZ_CHECK(listing);
  std::vector<int> asked;
  auto pids = std::make_unique<kill_prefix::PidList>();
  kill_prefix::collect_pids(
      listing,
      [&](int pid) {
        asked.push_back(pid);
        return picked(pid, in.size());
      },
      *pids);
  std::fclose(listing);
  FUZZ_CHECK(asked == expected_asked);
  FUZZ_CHECK(pids->text() == expected);
  FUZZ_CHECK(pids->count() == expected_count);
  FUZZ_CHECK(std::strlen(pids->text()) < kill_prefix::PidList::kSize);

  // One line on its own, longer than a listing read gives.
  std::string line = fuzz::c_text(in);
  FUZZ_CHECK(kill_prefix::pid_of_listing_line(line.data()) == reference_pid(line));
}

void check_raw_ids(std::string_view in) {
  auto pids = std::make_unique<kill_prefix::PidList>();
  std::string expected;
  for (std::size_t at = 0; at + sizeof(int) <= in.size(); at += sizeof(int)) {
    int pid;
    std::memcpy(&pid, in.data() + at, sizeof(pid));
    expected += (pids->count() ? " " : "") + std::to_string(pid);
    const bool room = pids->add(pid);
    FUZZ_CHECK(room == (expected.size() < kill_prefix::PidList::kFullAt));
    if (!room)
      break;
  }
  FUZZ_CHECK(pids->text() == expected);
}

void check_maps(std::string_view in) {
  bool expected = false;
  for (std::string_view piece : fuzz::fgets_pieces(in, 1024))
    expected = expected || piece.substr(0, piece.find('\0')).find("ntdll.dll") != piece.npos;
  std::string keep(in);
  std::FILE *maps = fuzz::open_bytes(keep);
  FUZZ_CHECK(maps);
  FUZZ_CHECK(kill_prefix::map_names_ntdll(maps) == expected);
  std::fclose(maps);
}

// The words a POSIX shell makes of text built from single quotes, backslash
// escapes and plain characters; none when anything else would be interpreted.
std::optional<std::string> one_shell_word(std::string_view s) {
  std::string word;
  for (std::size_t i = 0; i < s.size();) {
    if (s[i] == '\'') {
      std::size_t end = s.find('\'', i + 1);
      if (end == s.npos)
        return std::nullopt;
      word.append(s.substr(i + 1, end - i - 1));
      i = end + 1;
    } else if (s[i] == '\\' && i + 1 < s.size()) {
      word += s[i + 1];
      i += 2;
    } else if (std::strchr("/._-+,:@%", s[i]) || std::isalnum(static_cast<unsigned char>(s[i]))) {
      word += s[i++];
    } else {
      return std::nullopt;
    }
  }
  return word;
}

void check_listing_command(std::string_view in) {
  const std::string prefix = fuzz::c_text(in);
  const std::optional<std::string> cmd = kill_prefix::listing_command(prefix);
  if (!cmd) {
    // Only a path that cannot fit with its quotes is refused: two around it,
    // and a quote inside costs four ('\'').
    const auto quotes = static_cast<std::size_t>(std::count(prefix.begin(), prefix.end(), '\''));
    FUZZ_CHECK(prefix.size() + 2 + 3 * quotes + std::strlen("lsof -t +D  2>/dev/null") > 1023);
    return;
  }
  constexpr std::string_view head = "lsof -t +D ", tail = " 2>/dev/null";
  std::string_view c = *cmd;
  FUZZ_CHECK(c.size() <= 1023);
  FUZZ_CHECK(c.substr(0, head.size()) == head);
  FUZZ_CHECK(c.size() >= head.size() + tail.size() && c.substr(c.size() - tail.size()) == tail);
  FUZZ_CHECK(one_shell_word(c.substr(head.size(), c.size() - head.size() - tail.size())) == prefix);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::string_view in = fuzz::bytes(data, size);
  check_listing(in);
  check_raw_ids(in);
  check_maps(in);
  check_listing_command(in);
  return 0;
}

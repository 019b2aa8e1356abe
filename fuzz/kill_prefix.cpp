// The deciding half of stopping a prefix's processes. The input up to its first
// NUL is a folder, the rest a memory map: read_map must find ntdll.dll in any
// line of any length and see the same mapped files as a plain line-by-line
// reading; a map line the kernel would write for any path must give that path
// back; at_or_below must keep a folder apart from its neighbours. PidList gets
// the input's bytes as raw ints.
#include "fuzz_support.hpp"
#include "prefix/stop.hpp"

#include <cinttypes>
#include <cstring>
#include <memory>

namespace {

void check_raw_ids(std::string_view in) {
  auto pids = std::make_unique<stop::PidList>();
  std::string expected;
  for (std::size_t at = 0; at + sizeof(int) <= in.size(); at += sizeof(int)) {
    int pid;
    std::memcpy(&pid, in.data() + at, sizeof(pid));
    expected += (pids->count() ? " " : "") + std::to_string(pid);
    const bool room = pids->add(pid);
    FUZZ_CHECK(room == (expected.size() < stop::PidList::kFullAt));
    if (!room)
      break;
  }
  FUZZ_CHECK(pids->text() == expected);
}

void check_map(std::string_view in) {
  const std::size_t nul = in.find('\0');
  const std::string folder(in.substr(0, nul));
  std::string map(nul == std::string_view::npos ? std::string_view() : in.substr(nul + 1));
  bool maps_folder = false;
  for (std::size_t at = 0; at < map.size();) {
    std::size_t end = map.find('\n', at);
    end = end == std::string::npos ? map.size() : end + 1;
    maps_folder = maps_folder || processes::at_or_below(
                                     processes::map_line_path(map.substr(at, end - at)), folder);
    at = end;
  }
  std::FILE *f = fuzz::open_bytes(map);
  FUZZ_CHECK(f);
  const processes::MapFacts facts = processes::read_map(f, folder);
  std::fclose(f);
  // The name has no line feed, so a line names it exactly when the map does:
  // never less than pieces of 1023 bytes cut at a NUL would find.
  FUZZ_CHECK(facts.ntdll == (map.find("ntdll.dll") != std::string::npos));
  FUZZ_CHECK(facts.maps_folder == maps_folder);
}

// A line as the kernel writes it: fixed fields, blanks up to column 73, the
// path with every line feed as "\012".
void check_map_line(std::string_view in) {
  std::uint64_t n[4] = {};
  std::memcpy(n, in.data(), std::min(in.size(), sizeof(n)));
  const std::string path = "/" + fuzz::c_text(in.substr(std::min(in.size(), sizeof(n))));
  char head[128];
  int len = std::snprintf(head, sizeof(head),
                          "%08" PRIx64 "-%08" PRIx64 " r-xp %08" PRIx64 " %02x:%02x %" PRIu64 " ",
                          n[0], n[0] + n[1], n[2], static_cast<unsigned>(n[3] & 0xff),
                          static_cast<unsigned>((n[3] >> 8) & 0xff), n[3] >> 16);
  std::string line(head, static_cast<std::size_t>(len));
  line.append(line.size() < 73 ? 73 - line.size() : 0, ' ');
  for (char c : path)
    line += c == '\n' ? std::string("\\012") : std::string(1, c);
  // A path with a literal "\012" in it reads back as one with a line feed.
  if (path.find("\\012") == std::string::npos) {
    FUZZ_CHECK(processes::map_line_path(line + "\n") == path);
    FUZZ_CHECK(processes::map_line_path(line) == path);
  }
}

void check_at_or_below(std::string_view in) {
  const std::vector<std::string> parts = fuzz::split_at_nul(in);
  const std::string &folder = parts[0];
  const std::string other = parts.size() > 1 ? parts[1] : "";
  FUZZ_CHECK(processes::at_or_below(folder, folder) == !folder.empty());
  FUZZ_CHECK(processes::at_or_below(folder + "/" + other, folder) == !folder.empty());
  if (!folder.empty() && folder.back() != '/' && !other.empty() && other[0] != '/')
    FUZZ_CHECK(!processes::at_or_below(folder + other, folder));
  if (processes::at_or_below(other, folder))
    FUZZ_CHECK(other.compare(0, folder.size(), folder) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::string_view in = fuzz::bytes(data, size);
  check_raw_ids(in);
  check_map(in);
  check_map_line(in);
  check_at_or_below(in);
  return 0;
}

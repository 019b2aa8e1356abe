// The library's rooms stack like floors: a file includes its own room and the
// floors below it, never one above, and no two rooms include each other. The
// floors are the table in docs/architecture.md; the includes are the sources'.
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

using namespace testsupport;

namespace {

namespace fs = std::filesystem;

using Floors = std::map<std::string, int>;
// A file under src/ and a project header it includes, as written.
using Include = std::pair<std::string, std::string>;

// The rows "| N | `room/`, `room` |" of the table of floors.
Floors read_floors(const std::string &markdown) {
  Floors floors;
  static const std::regex row(R"(^\| *(-?[0-9]+) *\|(.*)\|$)"), room("`([a-z_]+)/?`");
  std::istringstream in(markdown);
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (!std::regex_match(line, m, row))
      continue;
    const std::string rooms = m[2];
    for (std::sregex_iterator it(rooms.begin(), rooms.end(), room), end; it != end; ++it)
      floors[(*it)[1]] = std::stoi(m[1]);
  }
  return floors;
}

// A folder of src/ is a room; a file right under src/ is one of its own.
std::string room_of(const std::string &path) {
  std::size_t slash = path.find('/');
  if (slash != std::string::npos)
    return path.substr(0, slash);
  return path.substr(0, path.find('.'));
}

std::vector<std::string> faults_of(const Floors &floors, const std::vector<Include> &includes) {
  std::vector<std::string> faults;
  std::set<std::pair<std::string, std::string>> arrows; // room to room, with their first file
  std::map<std::pair<std::string, std::string>, std::string> example;
  for (const auto &[file, header] : includes) {
    const std::string from = room_of(file), to = room_of(header);
    for (const std::string &room : {from, to})
      if (!floors.count(room))
        faults.push_back(file + ": room " + room + " is on no floor");
    if (from == to || !floors.count(from) || !floors.count(to))
      continue;
    if (floors.at(to) > floors.at(from))
      faults.push_back(file + " includes " + header + ", a floor above its own");
    if (arrows.insert({from, to}).second)
      example[{from, to}] = file + " includes " + header;
  }
  for (const auto &[from, to] : arrows)
    if (from < to && arrows.count({to, from}))
      faults.push_back("rooms " + from + " and " + to +
                       " include each other: " + example[{from, to}] + "; " + example[{to, from}]);
  return faults;
}

// Every `#include "..."` of the sources that names a file of src/.
std::vector<Include> includes_of(const fs::path &src) {
  std::vector<Include> found;
  static const std::regex include(R"re(^\s*#\s*include\s+"([^"]+)")re");
  for (const auto &entry : fs::recursive_directory_iterator(src)) {
    const std::string ext = entry.path().extension();
    if (ext != ".cpp" && ext != ".hpp")
      continue;
    const std::string file = fs::relative(entry.path(), src);
    std::ifstream in(entry.path());
    for (std::string line; std::getline(in, line);) {
      std::smatch m;
      if (!std::regex_search(line, m, include))
        continue;
      std::string header = m[1];
      // A name of the file's own folder, as a file without a room would write it.
      if (!fs::exists(src / header) && fs::exists(entry.path().parent_path() / header))
        header = fs::relative(entry.path().parent_path() / header, src);
      if (fs::exists(src / header))
        found.emplace_back(file, header);
    }
  }
  return found;
}

TEST(Floors, NoIncludeRunsUpwardAndNoTwoRoomsIncludeEachOther) {
  const fs::path src = fs::path(source_dir()) / "src";
  const Floors floors = read_floors(read_file(source_dir() + "/docs/architecture.md"));
  const std::vector<Include> includes = includes_of(src);
  ASSERT_GT(includes.size(), 100u) << "the sources were not read";
  EXPECT_THAT(faults_of(floors, includes), IsEmpty());
  // Every room has a floor, even one whose files include nothing.
  for (const auto &entry : fs::directory_iterator(src))
    if (entry.is_directory() || entry.path().extension() == ".cpp") {
      EXPECT_TRUE(floors.count(room_of(entry.path().filename()))) << entry.path();
    }
}

// The judge itself: what it must find, and what it must let be.
TEST(Floors, TheCheckFindsWhatRunsUpwardOrInACircle) {
  const Floors floors = read_floors("| Floor | Rooms |\n|---|---|\n| 3 | `shell/` |\n"
                                    "| 2 | `confirm/`, `debug/` |\n| 1 | `util/` |\n"
                                    "| 4 | `startup` |\nnot a row | 9 | `x/` |\n");
  EXPECT_EQ(floors,
            (Floors{{"shell", 3}, {"confirm", 2}, {"debug", 2}, {"util", 1}, {"startup", 4}}));
  const struct {
    const char *name;
    std::vector<Include> includes;
    std::vector<std::string> faults;
  } rows[] = {
      {"downward, within a room and on one floor",
       {{"shell/a.cpp", "confirm/b.hpp"},
        {"shell/a.cpp", "shell/a.hpp"},
        {"confirm/b.cpp", "debug/c.hpp"},
        {"startup.cpp", "shell/a.hpp"},
        {"debug/c.cpp", "util/d.hpp"}},
       {}},
      {"upward",
       {{"util/d.cpp", "shell/a.hpp"}, {"shell/a.cpp", "startup.hpp"}},
       {"util/d.cpp includes shell/a.hpp, a floor above its own",
        "shell/a.cpp includes startup.hpp, a floor above its own"}},
      {"two rooms of one floor in a circle",
       {{"confirm/b.cpp", "debug/c.hpp"}, {"debug/c.cpp", "confirm/e.hpp"}},
       {"rooms confirm and debug include each other: confirm/b.cpp includes debug/c.hpp; "
        "debug/c.cpp includes confirm/e.hpp"}},
      {"a room on no floor",
       {{"report/r.cpp", "util/d.hpp"}},
       {"report/r.cpp: room report is on no floor"}},
  };
  for (const auto &row : rows)
    EXPECT_EQ(faults_of(floors, row.includes), row.faults) << row.name;
}

} // namespace

#include "confirm/running_programs.hpp"

#include "confirm/kill_prefix.hpp"

#include <algorithm>
#include <fstream>
#include <iterator>

namespace running_programs {

namespace {

bool same_name(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
           return lower(x) == lower(y);
         });
}

std::string read_text(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace

bool is_wine_housekeeping(std::string_view file_name) {
  return std::any_of(wine_housekeeping.begin(), wine_housekeeping.end(),
                     [file_name](std::string_view own) { return same_name(own, file_name); });
}

std::string windows_file_name(std::string_view cmdline, std::string_view comm) {
  std::string_view word = cmdline.substr(0, cmdline.find('\0'));
  std::size_t cut = word.find_last_of("\\/");
  if (cut != std::string_view::npos)
    word.remove_prefix(cut + 1);
  // A path handed over in quotes keeps them.
  while (!word.empty() && word.back() == '"')
    word.remove_suffix(1);
  while (!word.empty() && word.front() == '"')
    word.remove_prefix(1);
  if (!word.empty())
    return std::string(word);
  if (!comm.empty() && comm.back() == '\n')
    comm.remove_suffix(1);
  return std::string(comm);
}

std::vector<std::string> to_ask_about(const std::vector<std::string> &names) {
  std::vector<std::string> asked;
  for (const std::string &name : names) {
    bool listed = std::any_of(asked.begin(), asked.end(),
                              [&name](const std::string &seen) { return same_name(seen, name); });
    if (!name.empty() && !listed && !is_wine_housekeeping(name))
      asked.push_back(name);
  }
  return asked;
}

std::vector<std::string> in_prefix(const char *proc_root) {
  std::string folder = resolved_prefix_folder();
  if (folder.empty())
    return {};
  std::vector<std::string> names;
  for (int pid : kill_prefix::windows_pids(proc_root, folder)) {
    std::string at = std::string(proc_root) + "/" + std::to_string(pid);
    names.push_back(windows_file_name(read_text(at + "/cmdline"), read_text(at + "/comm")));
  }
  return to_ask_about(names);
}

} // namespace running_programs

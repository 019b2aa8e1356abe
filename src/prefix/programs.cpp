#include "prefix/programs.hpp"

#include <algorithm>

namespace programs {

namespace {

std::string_view last_part(std::string_view path) {
  std::size_t cut = path.find_last_of('/');
  return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

} // namespace

bool same_name(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
           return lower(x) == lower(y);
         });
}

bool is_wine_housekeeping(std::string_view file_name) {
  return std::any_of(wine_housekeeping.begin(), wine_housekeeping.end(),
                     [file_name](std::string_view own) { return same_name(own, file_name); });
}

bool in_wine_place(std::string_view image, std::string_view prefix_folder) {
  std::size_t slash = image.rfind('/');
  if (slash == std::string_view::npos)
    return false;
  std::string_view folder = image.substr(0, slash);
  // Wine's builtin programs, which it shows as C:\windows\system32's.
  std::string_view arch = last_part(folder);
  std::string_view parent = folder.substr(0, folder.size() - arch.size());
  if (arch.size() > 8 && arch.substr(arch.size() - 8) == "-windows" && parent.size() > 1 &&
      last_part(parent.substr(0, parent.size() - 1)) == "wine")
    return true;
  if (prefix_folder.empty())
    return false;
  std::string windows = std::string(prefix_folder) + "/drive_c/windows/";
  return folder == windows + "system32" || folder == windows + "syswow64";
}

bool is_housekeeping(std::string_view name, const std::vector<std::string> &images,
                     std::string_view prefix_folder) {
  if (!is_wine_housekeeping(name))
    return false;
  return std::any_of(images.begin(), images.end(), [&](const std::string &image) {
    return same_name(last_part(image), name) && in_wine_place(image, prefix_folder);
  });
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

std::string desktop_of(std::string_view cmdline) {
  constexpr std::string_view option = "/desktop=";
  while (!cmdline.empty()) {
    std::string_view arg = cmdline.substr(0, cmdline.find('\0'));
    cmdline.remove_prefix(std::min(cmdline.size(), arg.size() + 1));
    if (arg.size() > option.size() && same_name(arg.substr(0, option.size()), option))
      return std::string(arg.substr(option.size(), arg.find(',') - option.size()));
  }
  return {};
}

std::vector<std::string> to_ask_about(const std::vector<std::string> &names) {
  std::vector<std::string> asked;
  for (const std::string &name : names)
    if (!name.empty() && not_among({name}, asked).size() == 1)
      asked.push_back(name);
  return asked;
}

std::vector<std::string> not_among(const std::vector<std::string> &later,
                                   const std::vector<std::string> &earlier) {
  std::vector<std::string> out;
  for (const std::string &name : later)
    if (std::none_of(earlier.begin(), earlier.end(),
                     [&name](const std::string &seen) { return same_name(seen, name); }))
      out.push_back(name);
  return out;
}

} // namespace programs

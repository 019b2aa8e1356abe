#include "prefix/prefix_path.hpp"

#include "settings/settings.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

namespace prefix_path {

std::string expand(const char *text, const char *home) {
  if (!text)
    return {};
  std::string path(text);
  if (home && path[0] == '~' && (path.size() == 1 || path[1] == '/'))
    path.replace(0, 1, home);
  return path;
}

std::string current() { return expand(wine_prefix, std::getenv("HOME")); }

std::string wine_refusal(const std::string &path) {
  struct stat st {};
  if (path.empty() || stat(path.c_str(), &st) != 0 || st.st_uid == getuid())
    return {};
  std::string shown = path;
  while (shown.size() > 1 && shown.back() == '/')
    shown.pop_back();
  return "wine: '" + shown + "' is not owned by you";
}

std::string server_dir_name(unsigned long long dev, unsigned long long ino) {
  char name[64];
  std::snprintf(name, sizeof(name), "server-%llx-%llx", dev, ino);
  return name;
}

PrefixPlaces current_prefix_places() {
  // The same expanded path the DPI reader uses.
  return prefix_places_of(current());
}

PrefixPlaces prefix_places_of(const std::string &prefix) {
  if (prefix.empty())
    return {};
  char folder[PATH_MAX];
  struct stat st {};
  if (!realpath(prefix.c_str(), folder) || stat(folder, &st) != 0 || !S_ISDIR(st.st_mode))
    return {};
  return {folder, server_dir_name(st.st_dev, st.st_ino)};
}

} // namespace prefix_path

#include "confirm/prefix_path.hpp"

#include "settings/settings.hpp"

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

} // namespace prefix_path

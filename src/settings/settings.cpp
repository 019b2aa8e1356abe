#include "settings/settings.hpp"

#include "util/own.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

char **app_argv = nullptr;
const char *wine_prefix = nullptr;
char wine_app_path[PATH_MAX];
int multi_thread_num = 0;
char sys_info[1024];
char exe_dir[PATH_MAX];

namespace {
constexpr char kLauncherName[] = "/nivra-wine-internal";
constexpr char kDefaultPrefix[] = "~/.wine";
} // namespace

char *get_exe_dir() {
  // One byte more than exe_dir, so a target that does not fit is refused instead
  // of being cut.
  char target[sizeof(exe_dir) + 1];
  ssize_t n = readlink("/proc/self/exe", target, sizeof(target));
  if (n >= 0 && static_cast<size_t>(n) >= sizeof(exe_dir)) {
    errno = ENAMETOOLONG;
    n = -1;
  }
  if (n < 0) {
    perror("readlink failed");
    return nullptr;
  }
  std::memcpy(exe_dir, target, static_cast<size_t>(n));
  exe_dir[n] = '\0';
  if (char *slash = std::strrchr(exe_dir, '/'))
    *slash = '\0';
  return exe_dir;
}

namespace settings {

int thread_num_from_env(const char *value) { return value ? std::atoi(value) : 0; }

const char *prefix_from_env(const char *value) {
  return (value && *value) ? value : kDefaultPrefix;
}

LauncherPath set_wine_app_path(const char *wine_app_env, const char *dir) {
  // Empty means unset, as a desktop file or a script with an unset variable
  // writes it; an empty launcher path would run whatever comes first.
  if (wine_app_env && *wine_app_env) {
    if (std::strlen(wine_app_env) >= sizeof(wine_app_path))
      return LauncherPath::too_long;
    std::strcpy(wine_app_path, wine_app_env);
    return LauncherPath::ok;
  }
  if (!dir)
    return LauncherPath::no_exe_dir;
  std::size_t need = std::strlen(dir) + sizeof(kLauncherName);
  if (need > sizeof(wine_app_path))
    return LauncherPath::too_long;
  own::gchars tmp(static_cast<gchar *>(g_try_malloc0(need)));
  if (!tmp)
    return LauncherPath::no_memory;
  std::snprintf(tmp.get(), need, "%s%s", dir, kLauncherName);
  std::memcpy(wine_app_path, tmp.get(), need);
  return LauncherPath::ok;
}

} // namespace settings

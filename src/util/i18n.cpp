#include "util/i18n.hpp"

#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>

#ifndef NIVRA_LOCALEDIR
#define NIVRA_LOCALEDIR "/usr/share/locale"
#endif

namespace {

// GLib's own handler converts to the locale's character set, which in the C locale turns
// every Chinese character into "?".
void print_as_is(const gchar *text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

} // namespace

namespace i18n {

std::string catalogue_dir(const char *exe_path, const char *installed_dir) {
  std::string dir = exe_path ? exe_path : "";
  for (int up = 0; up < 2; ++up) {
    std::size_t slash = dir.rfind('/');
    if (slash == std::string::npos)
      return installed_dir;
    dir.erase(slash);
  }
  dir += "/share/locale";
  struct stat st;
  return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? dir : installed_dir;
}

void init() {
  // Read quietly: a program whose path cannot be read still finds the installed catalogue.
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  exe[n > 0 ? n : 0] = '\0';
  std::setlocale(LC_NUMERIC, "C");
  g_set_print_handler(print_as_is);
  bindtextdomain(kDomain, catalogue_dir(exe, NIVRA_LOCALEDIR).c_str());
  bind_textdomain_codeset(kDomain, "UTF-8");
}

} // namespace i18n

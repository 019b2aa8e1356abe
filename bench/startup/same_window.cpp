// The helper's own window, built by the same code, inside the plainest
// start-up the floor has: `wine --version` through popen, gtk_init, the
// window, the main loop. It tells what the window costs apart from the
// helper's start-up. Usage: same_window (WINEPREFIX names the prefix).
#include "settings/settings.hpp"
#include "shell/main_window.hpp"

#include "ask_version.hpp"

#include <gtk/gtk.h>

#include <cstdlib>

int main(int argc, char **argv) {
  app_argv = argv;
  const char *prefix = std::getenv("WINEPREFIX");
  wine_prefix = prefix && *prefix ? prefix : "~/.wine";
  ask_wine_version_once();
  gtk_init(&argc, &argv);
  run_main_window();
  return 0;
}

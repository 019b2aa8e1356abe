// The helper's own window, built by the same code, inside the plainest
// start-up the floor has: `wine --version` through popen, gtk_init, the
// window, the main loop. It tells what the window costs apart from the
// helper's start-up. Usage: same_window (WINEPREFIX names the prefix).
#include "shell/main_window.hpp"
#include "startup.hpp"

#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv) {
  app_argv = argv;
  const char *prefix = std::getenv("WINEPREFIX");
  wine_prefix = prefix && *prefix ? prefix : "~/.wine";
  if (FILE *p = popen("wine --version", "r")) {
    char line[128];
    if (!fgets(line, sizeof(line), p))
      line[0] = '\0';
    pclose(p);
  }
  gtk_init(&argc, &argv);
  run_main_window();
  return 0;
}

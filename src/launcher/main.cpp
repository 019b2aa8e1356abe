// nivra-wine-internal: see wine_launcher.hpp.
#include "launcher/wine_launcher.hpp"

int main(int argc, char **argv) {
  char *no_arguments[] = {nullptr, nullptr};
  if (argc < 1)
    argv = no_arguments;
  return wine_launcher::exec_wine({NIVRA_WINE_LOADER32, NIVRA_WINE_LOADER64, NIVRA_SYSTEM_WINE},
                                  argv);
}

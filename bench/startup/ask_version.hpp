#pragma once
// What the floor does before GTK starts: ask `wine --version` once through
// popen and read its first line. The answer is not used.
#include <cstdio>

inline void ask_wine_version_once() {
  if (FILE *p = popen("wine --version", "r")) {
    char line[128];
    if (!fgets(line, sizeof(line), p))
      line[0] = '\0';
    pclose(p);
  }
}

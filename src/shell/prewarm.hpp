#pragma once
// Loads what the main window needs first (the font configuration, and the SVG
// image loader the theme draws its ticked check box with) on a thread of its
// own while start-up waits for the launcher's version. Nothing it does is
// visible; the destructor waits for it.
#include <thread>

class Prewarm {
public:
  Prewarm();
  ~Prewarm();
  Prewarm(const Prewarm &) = delete;
  Prewarm &operator=(const Prewarm &) = delete;

private:
  std::thread thread_;
};

#pragma once
// Which of the offered DPI values makes a Windows program's text the size of the rest of the
// desktop, from what the desktop reports. Pure: no GTK, nothing printed, any thread.
#include <span>

struct dpi_suggestion {
  int index;   // in the values offered, or -1: nothing to suggest
  int percent; // the desktop's text scale in percent, rounded: where the value comes from
};

// scale_factor is the monitor's (1, 2, ...), resolution the font DPI the desktop sets (0 or less
// when it sets none, which counts as 96). values are decimal DPI texts in ascending order; the
// nearest to 96 × the scale wins, the lower one on a tie. Nothing is suggested when the desktop
// scales by exactly 1 or when the nearest value is the text current.
dpi_suggestion suggest_dpi(int scale_factor, double resolution, const char *current,
                           std::span<const char *const> values);

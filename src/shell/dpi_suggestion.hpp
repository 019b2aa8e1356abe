#pragma once
// Which of the offered DPI values makes a Windows program's text the size of the rest of the
// desktop, from what the desktop reports. Pure: no GTK, nothing printed, any thread.
#include <cstddef>
#include <span>

struct dpi_suggestion {
  int index;     // in the values offered, or -1: nothing to suggest
  int percent;   // the desktop's scale in percent, rounded: where the value comes from
  int x_percent; // how much the desktop itself enlarges Wine's windows, in percent (100: not)
};

// What the desktop reports where the window is.
struct desktop_view {
  int scale_factor;  // the monitor's scale as GTK draws it (1, 2, ...)
  double resolution; // GTK's font DPI; 0 or less when the desktop sets none, which counts as 96
  // The rest counts only where GTK is a Wayland client and Wine's windows go through Xwayland.
  bool wayland = false;
  // How many of the monitor's pixels the compositor gives a pixel of an X window, across: 1 where
  // it draws X windows 1:1 (mutter's default), the scale where it enlarges them itself (weston,
  // mutter's fractional scaling); 0 or less when there is no X display.
  double x_zoom = 0;
  double x_dpi = 0; // the DPI announced to X programs (Xft.dpi, XSETTINGS Xft/DPI), 0 or less: none
};

// values are decimal DPI texts in ascending order. On X11 the wanted DPI is 96 × the scale × the
// text scaling; on Wayland the compositor's own zoom of X windows is taken out of that, and the
// DPI announced to X programs is taken where it is larger. The nearest value wins, the lower one on
// a tie; nothing is suggested when it is the text current, nor on Wayland without an X display.
dpi_suggestion suggest_dpi(const desktop_view &desktop, const char *current,
                           std::span<const char *const> values);

// The Xft/DPI setting of an XSETTINGS property (_XSETTINGS_SETTINGS) in DPI, or 0 when it holds
// none or is malformed.
double xsettings_dpi(const unsigned char *data, std::size_t size);

// The Xft.dpi resource of a resource database text (RESOURCE_MANAGER), or 0 when it holds none.
double resource_dpi(const char *resources);

#pragma once
// What the displays tell about Wine's windows where the helper is a Wayland client: the X display
// they go to (Xwayland, through a connection of its own) and the monitors' own pixels.
#include <gdk/gdk.h>

struct x_side {
  int width = 0, height = 0; // of the default screen, in X pixels
  double dpi = 0; // announced through XSETTINGS Xft/DPI, else the Xft.dpi resource; 0: none
};

// False when display_name (nullptr: $DISPLAY) cannot be opened.
bool read_x_side(const char *display_name, x_side *out);

// The pixels of all monitors of a Wayland display (their current modes), summed as an area, or 0
// when display is not a Wayland one or has no monitor.
double monitor_pixel_area(GdkDisplay *display);

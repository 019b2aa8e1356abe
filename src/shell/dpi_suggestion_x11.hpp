#pragma once
// What the X display that Wine's windows go to tells X programs, read through a connection of
// its own (the helper itself may be a Wayland client).

struct x_side {
  int width = 0, height = 0; // of the default screen, in X pixels
  double dpi = 0; // announced through XSETTINGS Xft/DPI, else the Xft.dpi resource; 0: none
};

// False when display_name (nullptr: $DISPLAY) cannot be opened.
bool read_x_side(const char *display_name, x_side *out);

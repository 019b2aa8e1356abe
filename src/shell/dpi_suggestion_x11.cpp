#include "shell/dpi_suggestion_x11.hpp"

#include "shell/dpi_suggestion.hpp"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <string>

namespace {

// The XSETTINGS manager's Xft/DPI on screen, or 0.
double announced_xsettings_dpi(Display *dpy, int screen) {
  std::string selection = "_XSETTINGS_S" + std::to_string(screen);
  Window owner = XGetSelectionOwner(dpy, XInternAtom(dpy, selection.c_str(), False));
  if (owner == None)
    return 0;
  Atom settings = XInternAtom(dpy, "_XSETTINGS_SETTINGS", False);
  Atom type;
  int format;
  unsigned long n = 0, after = 0;
  unsigned char *data = nullptr;
  double dpi = 0;
  // The owner may be gone by now: that is an X error, which must not end the helper.
  auto *old = XSetErrorHandler([](Display *, XErrorEvent *) { return 0; });
  if (XGetWindowProperty(dpy, owner, settings, 0, 1 << 16, False, settings, &type, &format, &n,
                         &after, &data) == Success &&
      data && format == 8)
    dpi = xsettings_dpi(data, n);
  XSync(dpy, False);
  XSetErrorHandler(old);
  if (data)
    XFree(data);
  return dpi;
}

} // namespace

bool read_x_side(const char *display_name, x_side *out) {
  Display *dpy = XOpenDisplay(display_name);
  if (!dpy)
    return false;
  int screen = DefaultScreen(dpy);
  out->width = DisplayWidth(dpy, screen);
  out->height = DisplayHeight(dpy, screen);
  out->dpi = announced_xsettings_dpi(dpy, screen);
  if (out->dpi <= 0)
    out->dpi = resource_dpi(XResourceManagerString(dpy));
  XCloseDisplay(dpy);
  return true;
}

#pragma once
// The title an X window shows (_NET_WM_NAME, UTF-8), or empty; for the test
// tools and the benchmarks that look for a window by its title.
#include <X11/Xlib.h>

#include <string>

inline std::string window_name(Display *dpy, Window w) {
  Atom net_wm_name = XInternAtom(dpy, "_NET_WM_NAME", False);
  Atom utf8 = XInternAtom(dpy, "UTF8_STRING", False);
  Atom type;
  int format;
  unsigned long n, after;
  unsigned char *data = nullptr;
  std::string name;
  if (XGetWindowProperty(dpy, w, net_wm_name, 0, 1024, False, utf8, &type, &format, &n, &after,
                         &data) == Success &&
      data) {
    name.assign(reinterpret_cast<char *>(data), n);
    XFree(data);
  }
  return name;
}

// Finds a top-level X window by its title and acts on it, as a window manager
// or a user would: "wait TITLE MS", "close TITLE MS" (WM_DELETE_WINDOW),
// "key TITLE MS [#RRGGBB] KEYSYM..." (key presses through XTest, in turn;
// "shift+Tab" holds Shift; with a colour, only once a pixel of it shows in the
// window). Exit 0 when done, 2 when no such window appeared in time.
#include "window_name.hpp"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

Window find(Display *dpy, Window root, const std::string &title) {
  Window r, parent, *children = nullptr;
  unsigned int n = 0;
  Window found = 0;
  if (!XQueryTree(dpy, root, &r, &parent, &children, &n))
    return 0;
  for (unsigned int i = 0; i < n && !found; ++i) {
    XWindowAttributes attrs;
    if (XGetWindowAttributes(dpy, children[i], &attrs) && attrs.map_state == IsViewable &&
        window_name(dpy, children[i]) == title)
      found = children[i];
    else
      found = find(dpy, children[i], title);
  }
  if (children)
    XFree(children);
  return found;
}

// A window that is going away must not end the program with an X error.
int ignore_error(Display *, XErrorEvent *) { return 0; }

bool shows_colour(Display *dpy, Window w, unsigned long rgb) {
  XWindowAttributes attrs;
  if (!XGetWindowAttributes(dpy, w, &attrs))
    return false;
  XImage *image = XGetImage(dpy, w, 0, 0, attrs.width, attrs.height, AllPlanes, ZPixmap);
  if (!image)
    return false;
  bool found = false;
  for (int y = 0; y < attrs.height && !found; ++y)
    for (int x = 0; x < attrs.width && !found; ++x)
      found = (XGetPixel(image, x, y) & 0xffffff) == rgb;
  XDestroyImage(image);
  return found;
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: xwin wait|close|key TITLE MS [KEYSYM...]\n");
    return 1;
  }
  std::string cmd = argv[1], title = argv[2];
  long ms = std::atol(argv[3]);
  Display *dpy = XOpenDisplay(nullptr);
  if (!dpy) {
    std::fprintf(stderr, "xwin: no display\n");
    return 1;
  }
  XSetErrorHandler(ignore_error);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  int first_key = 4;
  unsigned long colour = 0;
  if (cmd == "key" && argc > 4 && argv[4][0] == '#')
    colour = std::strtoul(argv[first_key++] + 1, nullptr, 16);
  Window w = 0;
  while (!(w = find(dpy, DefaultRootWindow(dpy), title)) ||
         (first_key > 4 && !shows_colour(dpy, w, colour))) {
    if (std::chrono::steady_clock::now() > deadline) {
      XCloseDisplay(dpy);
      return 2;
    }
    usleep(50000);
  }
  if (cmd == "close") {
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = w;
    ev.xclient.message_type = XInternAtom(dpy, "WM_PROTOCOLS", False);
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = static_cast<long>(XInternAtom(dpy, "WM_DELETE_WINDOW", False));
    ev.xclient.data.l[1] = CurrentTime;
    XSendEvent(dpy, w, False, NoEventMask, &ev);
  } else if (cmd == "key") {
    XSetInputFocus(dpy, w, RevertToParent, CurrentTime);
    const KeyCode shift = XKeysymToKeycode(dpy, XK_Shift_L);
    for (int i = first_key; i < argc; ++i) {
      std::string key = argv[i];
      const bool shifted = key.rfind("shift+", 0) == 0;
      KeyCode code = XKeysymToKeycode(dpy, XStringToKeysym(key.substr(shifted ? 6 : 0).c_str()));
      if (shifted)
        XTestFakeKeyEvent(dpy, shift, True, 0);
      XTestFakeKeyEvent(dpy, code, True, 0);
      XTestFakeKeyEvent(dpy, code, False, 0);
      if (shifted)
        XTestFakeKeyEvent(dpy, shift, False, 0);
    }
  }
  XSync(dpy, False);
  XCloseDisplay(dpy);
  return 0;
}

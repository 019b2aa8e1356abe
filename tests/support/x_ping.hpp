#pragma once
// Pings an X window as a window manager does (_NET_WM_PING, which GNOME sends to
// tell a window that hangs), over an X connection of its own, so that it can be
// done from a thread while the window's own program goes on.
#include <X11/Xlib.h>
#include <poll.h>

#include <atomic>
#include <chrono>

namespace testsupport {

// Milliseconds until the window's program answered, or -1 when no answer came
// within limit_ms.
inline long ping_ms(unsigned long window, int limit_ms) {
  static std::atomic<long> serial{4242};
  Display *dpy = XOpenDisplay(nullptr);
  if (!dpy)
    return -1;
  const Window root = DefaultRootWindow(dpy);
  // The answer goes to the root window, to whoever watches it.
  XSelectInput(dpy, root, SubstructureNotifyMask);
  const Atom protocols = XInternAtom(dpy, "WM_PROTOCOLS", False);
  const Atom ping = XInternAtom(dpy, "_NET_WM_PING", False);
  const long stamp = serial++;
  XEvent e{};
  e.xclient.type = ClientMessage;
  e.xclient.window = window;
  e.xclient.message_type = protocols;
  e.xclient.format = 32;
  e.xclient.data.l[0] = static_cast<long>(ping);
  e.xclient.data.l[1] = stamp;
  e.xclient.data.l[2] = static_cast<long>(window);
  const auto sent = std::chrono::steady_clock::now();
  XSendEvent(dpy, window, False, NoEventMask, &e);
  XFlush(dpy);
  long answered = -1;
  for (;;) {
    const long waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - sent)
                            .count();
    while (answered < 0 && XPending(dpy)) {
      XEvent got;
      XNextEvent(dpy, &got);
      if (got.type == ClientMessage && got.xclient.message_type == protocols &&
          static_cast<Atom>(got.xclient.data.l[0]) == ping && got.xclient.data.l[1] == stamp &&
          static_cast<unsigned long>(got.xclient.data.l[2]) == window)
        answered = waited;
    }
    if (answered >= 0 || waited >= limit_ms)
      break;
    pollfd p{ConnectionNumber(dpy), POLLIN, 0};
    poll(&p, 1, static_cast<int>(limit_ms - waited));
  }
  XCloseDisplay(dpy);
  return answered;
}

} // namespace testsupport

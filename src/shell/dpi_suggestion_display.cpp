#include "shell/dpi_suggestion_display.hpp"

#include "shell/dpi_suggestion.hpp"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#ifdef GDK_WINDOWING_WAYLAND
#include <gdk/gdkwayland.h>
#include <wayland-client.h>
#endif

#include <cstring>
#include <list>
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

#ifdef GDK_WINDOWING_WAYLAND
namespace {

// GDK gives the monitors' sizes in the compositor's layout, which is in the monitors' own pixels
// where it draws X windows 1:1 (mutter's default) and in logical ones elsewhere: only the outputs'
// modes give the pixels. They are asked on a queue of this code's own, which leaves GTK's alone.
struct output_mode {
  wl_output *output = nullptr;
  int width = 0, height = 0;
};

void on_geometry(void *, wl_output *, int32_t, int32_t, int32_t, int32_t, int32_t, const char *,
                 const char *, int32_t) {}
void on_mode(void *data, wl_output *, uint32_t flags, int32_t width, int32_t height, int32_t) {
  if (flags & WL_OUTPUT_MODE_CURRENT) {
    static_cast<output_mode *>(data)->width = width;
    static_cast<output_mode *>(data)->height = height;
  }
}
void on_done(void *, wl_output *) {}
void on_scale(void *, wl_output *, int32_t) {}
const wl_output_listener kOutputListener = {on_geometry, on_mode, on_done,
                                            on_scale,    nullptr, nullptr};

void on_global(void *data, wl_registry *registry, uint32_t name, const char *interface,
               uint32_t version) {
  if (std::strcmp(interface, wl_output_interface.name) != 0)
    return;
  auto &outputs = *static_cast<std::list<output_mode> *>(data);
  outputs.emplace_back();
  outputs.back().output = static_cast<wl_output *>(
      wl_registry_bind(registry, name, &wl_output_interface, version < 2 ? version : 2));
  wl_output_add_listener(outputs.back().output, &kOutputListener, &outputs.back());
}
void on_global_remove(void *, wl_registry *, uint32_t) {}
const wl_registry_listener kRegistryListener = {on_global, on_global_remove};

} // namespace

double monitor_pixel_area(GdkDisplay *display) {
  if (!GDK_IS_WAYLAND_DISPLAY(display))
    return 0;
  wl_display *wl = gdk_wayland_display_get_wl_display(display);
  wl_event_queue *queue = wl_display_create_queue(wl);
  auto *wrapped = static_cast<wl_display *>(wl_proxy_create_wrapper(wl));
  wl_proxy_set_queue(reinterpret_cast<wl_proxy *>(wrapped), queue);
  wl_registry *registry = wl_display_get_registry(wrapped);
  wl_proxy_wrapper_destroy(wrapped);
  std::list<output_mode> outputs;
  wl_registry_add_listener(registry, &kRegistryListener, &outputs);
  // The first round brings the outputs, the second their modes.
  wl_display_roundtrip_queue(wl, queue);
  wl_display_roundtrip_queue(wl, queue);
  double area = 0;
  for (output_mode &o : outputs) {
    area += static_cast<double>(o.width) * o.height;
    wl_output_destroy(o.output);
  }
  wl_registry_destroy(registry);
  wl_event_queue_destroy(queue);
  return area;
}
#else
double monitor_pixel_area(GdkDisplay *) { return 0; }
#endif

#include "shell/prewarm.hpp"

#include "util/own.hpp"

#include <fontconfig/fontconfig.h>
#include <gdk-pixbuf/gdk-pixbuf.h>

#include <system_error>

namespace {

void warm() {
  FcInit();
  // Decoding a tiny image makes gdk-pixbuf load its SVG module and library.
  own::gobject<GdkPixbufLoader> loader(gdk_pixbuf_loader_new_with_type("svg", nullptr));
  if (!loader)
    return;
  static const char kSvg[] = "<svg xmlns='http://www.w3.org/2000/svg' width='1' height='1'/>";
  gdk_pixbuf_loader_write(loader.get(), reinterpret_cast<const guchar *>(kSvg), sizeof(kSvg) - 1,
                          nullptr);
  gdk_pixbuf_loader_close(loader.get(), nullptr);
}

} // namespace

Prewarm::Prewarm() {
  try {
    thread_ = std::thread(warm);
  } catch (const std::system_error &) {
    // No thread: the window loads all of it itself, a little later.
  }
}

Prewarm::~Prewarm() {
  if (thread_.joinable())
    thread_.join();
}

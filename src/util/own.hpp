#pragma once
// Owning handles for the C resources this program uses, so early returns
// cannot leak them.
#include <dirent.h>
#include <glib-object.h>
#include <glib.h>

#include <cstdio>
#include <memory>

namespace own {

struct GFreeDeleter {
  void operator()(void *p) const { g_free(p); }
};
struct GObjectDeleter {
  void operator()(void *p) const { g_object_unref(p); }
};
struct FileDeleter {
  void operator()(FILE *f) const { std::fclose(f); }
};
struct PipeDeleter {
  void operator()(FILE *f) const { pclose(f); }
};
struct DirDeleter {
  void operator()(DIR *d) const { closedir(d); }
};

using gchars = std::unique_ptr<gchar, GFreeDeleter>;
template <typename T> using gobject = std::unique_ptr<T, GObjectDeleter>;
using file = std::unique_ptr<FILE, FileDeleter>;
using pipe = std::unique_ptr<FILE, PipeDeleter>;
using dir = std::unique_ptr<DIR, DirDeleter>;

} // namespace own

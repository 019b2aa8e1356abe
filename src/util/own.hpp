#pragma once
// Owning handles for the C resources this program uses, so early returns
// cannot leak them.
#include <dirent.h>
#include <glib-object.h>
#include <glib.h>
#include <unistd.h>

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

// A file descriptor, closed when it goes out of scope; -1 holds nothing.
class fd {
public:
  explicit fd(int f) : f_(f) {}
  ~fd() {
    if (f_ >= 0)
      close(f_);
  }
  fd(const fd &) = delete;
  fd &operator=(const fd &) = delete;
  fd(fd &&other) noexcept : f_(other.release()) {}
  fd &operator=(fd &&other) noexcept {
    if (this != &other) {
      if (f_ >= 0)
        close(f_);
      f_ = other.release();
    }
    return *this;
  }
  int get() const { return f_; }
  explicit operator bool() const { return f_ >= 0; }
  // Hands the descriptor to a new owner (fdopen, fdopendir).
  int release() {
    int f = f_;
    f_ = -1;
    return f;
  }

private:
  int f_;
};

} // namespace own

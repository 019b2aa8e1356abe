#include "log/log_place.hpp"

#include <glib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace log_place {

namespace {

// The claim is an abstract socket name: nothing is written into the user's folder, and
// the kernel drops it when the process ends, however it ends.
int held = -1;
std::string held_name;

// The series' name for the socket: the folder by device and inode, so that every
// spelling of its path meets, and the prefix.
std::string claim_name(const char *dir, const char *prefix) {
  struct stat st;
  if (stat(*dir ? dir : "/", &st) != 0)
    return "";
  std::string key = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + "/" + prefix;
  gchar *sum = g_compute_checksum_for_string(G_CHECKSUM_SHA256, key.c_str(), -1);
  std::string name = std::string("nivra-wine-helper/log/") + sum;
  g_free(sum);
  return name;
}

// A bound socket holding name, or -1 with errno set.
int bind_name(const std::string &name) {
  if (name.empty()) {
    errno = ENOENT;
    return -1;
  }
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return -1;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path + 1, name.data(), name.size()); // abstract: leading NUL
  const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  if (bind(fd, reinterpret_cast<sockaddr *>(&addr), len) != 0) {
    const int err = errno;
    close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

bool claimed(const char *dir, const std::string &prefix) {
  const std::string name = claim_name(dir, prefix.c_str());
  if (held >= 0 && name == held_name)
    return false;
  int fd = bind_name(name);
  if (fd >= 0) {
    close(fd);
    return false;
  }
  return errno == EADDRINUSE;
}

} // namespace

std::string folder_of(const char *file_path) {
  const char *slash = file_path ? std::strrchr(file_path, '/') : nullptr;
  if (!slash)
    return ".";
  return slash == file_path ? std::string("/") : std::string(file_path, slash);
}

int folder_error(const char *file_path) {
  if (!file_path)
    return ENOENT;
  const std::string dir = folder_of(file_path);
  struct stat st;
  if (stat(dir.c_str(), &st) != 0)
    return errno;
  if (!S_ISDIR(st.st_mode))
    return ENOTDIR;
  return access(dir.c_str(), W_OK | X_OK) == 0 ? 0 : errno;
}

bool claim(const char *dir, const char *prefix) {
  release();
  held_name = claim_name(dir, prefix);
  held = bind_name(held_name);
  return held >= 0;
}

void release() {
  if (held >= 0)
    close(held);
  held = -1;
}

bool in_use(const char *dir, const char *name) {
  if (claimed(dir, name))
    return true;
  // NAME.N belongs to the series NAME.
  const char *dot = std::strrchr(name, '.');
  if (!dot || dot == name || !dot[1])
    return false;
  for (const char *p = dot + 1; *p; ++p)
    if (!g_ascii_isdigit(*p))
      return false;
  return claimed(dir, std::string(name, dot));
}

} // namespace log_place

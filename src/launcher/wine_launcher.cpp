#include "launcher/wine_launcher.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Plain C calls only: the launcher runs before every Windows program, so it
// links nothing beyond the C library.
namespace wine_launcher {

namespace {

constexpr char kMe[] = "nivra-wine-internal";

bool empty(const char *value) { return value == nullptr || *value == '\0'; }

int exec_failed(const char *path, int err) {
  std::fprintf(stderr, "%s: cannot run %s: %s\n", kMe, path, std::strerror(err));
  return err == ENOENT ? 127 : 126;
}

// A drive path "X:\rest" is X's link in the prefix's dosdevices plus rest with
// slashes; any other argument is a Unix path already.
bool unix_path(const char *arg, char (&out)[PATH_MAX]) {
  bool drive = ((arg[0] | 0x20) >= 'a' && (arg[0] | 0x20) <= 'z') && arg[1] == ':' &&
               (arg[2] == '\\' || arg[2] == '/');
  if (!drive)
    return std::snprintf(out, sizeof out, "%s", arg) < static_cast<int>(sizeof out);
  const char *prefix = std::getenv("WINEPREFIX");
  const char *home = std::getenv("HOME");
  int n = !empty(prefix) ? std::snprintf(out, sizeof out, "%s/dosdevices/%c:/%s", prefix,
                                         arg[0] | 0x20, arg + 3)
          : !empty(home) ? std::snprintf(out, sizeof out, "%s/.wine/dosdevices/%c:/%s", home,
                                         arg[0] | 0x20, arg + 3)
                         : -1;
  if (n < 0 || n >= static_cast<int>(sizeof out))
    return false;
  for (char *c = out; *c; ++c)
    if (*c == '\\')
      *c = '/';
  return true;
}

std::uint32_t little_endian(const unsigned char *p, int bytes) {
  std::uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i)
    v = v << 8 | p[i];
  return v;
}

} // namespace

bool names_i386_program(const char *arg) {
  char path[PATH_MAX];
  if (empty(arg) || !unix_path(arg, path))
    return false;
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0)
    return false;
  // MZ header; its 32-bit field at 0x3c is where "PE\0\0" and the machine are.
  unsigned char mz[64], pe[6];
  bool i386 = false;
  if (pread(fd, mz, sizeof mz, 0) == sizeof mz && mz[0] == 'M' && mz[1] == 'Z' &&
      pread(fd, pe, sizeof pe, little_endian(mz + 0x3c, 4)) == sizeof pe)
    i386 = std::memcmp(pe, "PE\0\0", 4) == 0 && little_endian(pe + 4, 2) == 0x14c;
  close(fd);
  return i386;
}

int exec_wine(const Paths &paths, char **argv) {
  if (access(paths.loader32, X_OK) != 0) {
    argv[0] = const_cast<char *>(paths.system_wine);
    execv(paths.system_wine, argv);
    return exec_failed(paths.system_wine, errno);
  }
  if (empty(std::getenv("WINEDEBUG")))
    setenv("WINEDEBUG", "fixme-all", 1);
  argv[0] = const_cast<char *>(paths.loader32);
  execv(paths.loader32, argv);
  if (errno != ENOEXEC)
    return exec_failed(paths.loader32, errno);

  // The kernel runs no 32-bit programs. Wine itself says why a 32-bit program
  // does not start; only we know that this kernel is the cause.
  if (argv[1] != nullptr && names_i386_program(argv[1]))
    std::fprintf(stderr,
                 "%s: this kernel runs no 32-bit programs, so Wine cannot start %s"
                 " (ia32_emulation=on on the kernel command line turns them on)\n",
                 kMe, argv[1]);
  if (empty(std::getenv("WINELOADER")))
    setenv("WINELOADER", paths.loader64, 1);
  argv[0] = const_cast<char *>(paths.loader64);
  execv(paths.loader64, argv);
  return exec_failed(paths.loader64, errno);
}

} // namespace wine_launcher

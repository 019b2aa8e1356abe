#include "log/log_place.hpp"

#include "util/own.hpp"

#include <fcntl.h>
#include <glib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace log_place {

namespace {

// A claim is a lock on a file in a folder only the user can reach: another user can neither
// take a claim first nor learn which logs are claimed. The kernel drops the lock when the
// process ends, however it ends.
constexpr char kClaims[] = "nivra-wine-helper";

struct held_claim {
  pid_t pid = 0; // a child forked since holds copies, not the claim
  std::string name;
  std::vector<std::string> files; // one per claims folder
  std::vector<int> fds;
};
held_claim held;

// A folder of the user's own that nobody else may enter; made when it is missing.
bool private_folder(const std::string &path, bool make) {
  if (make && mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
    return false;
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
         (st.st_mode & 077) == 0;
}

// The folders the user's claims are in. Every helper of the user finds the same ones: the
// runtime folders when they are the user's own and private (a claim is made in each, so
// that helpers started with and without XDG_RUNTIME_DIR meet), else a private folder of the
// user's in /tmp, else one in the user's cache. Empty when there is none.
std::vector<std::string> claim_folders() {
  std::vector<std::string> runtime;
  std::vector<dev_t> devs;
  std::vector<ino_t> inos;
  auto add_runtime = [&](const std::string &dir) {
    struct stat st;
    if (dir.empty() || dir[0] != '/' || !private_folder(dir, false) || stat(dir.c_str(), &st))
      return;
    for (std::size_t k = 0; k < devs.size(); ++k)
      if (devs[k] == st.st_dev && inos[k] == st.st_ino)
        return;
    devs.push_back(st.st_dev);
    inos.push_back(st.st_ino);
    runtime.push_back(dir);
  };
  if (const char *xdg = std::getenv("XDG_RUNTIME_DIR"))
    add_runtime(xdg);
  add_runtime("/run/user/" + std::to_string(geteuid()));
  std::vector<std::string> folders;
  for (const std::string &dir : runtime)
    if (private_folder(dir + "/" + kClaims, true))
      folders.push_back(dir + "/" + kClaims);
  if (!folders.empty())
    return folders;
  // Someone else may have made the folder in /tmp first: it is then not the user's own.
  const std::string tmp = "/tmp/" + std::string(kClaims) + "-" + std::to_string(geteuid());
  if (private_folder(tmp, true))
    return {tmp};
  if (const char *home = std::getenv("HOME"); home && *home == '/') {
    const std::string cache = std::string(home) + "/.cache";
    mkdir(cache.c_str(), 0700);
    if (private_folder(cache + "/" + kClaims, true))
      return {cache + "/" + kClaims};
  }
  return {};
}

// The series' name: the folder by device and inode, so that every spelling of its path meets,
// and the prefix.
std::string claim_name(const char *dir, const char *prefix) {
  struct stat st;
  if (stat(*dir ? dir : "/", &st) != 0)
    return "";
  std::string key = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + "/" + prefix;
  own::gchars sum(g_compute_checksum_for_string(G_CHECKSUM_SHA256, key.c_str(), -1));
  return std::string("log-") + sum.get();
}

// Opens the lock file of a claim; -1 with errno set.
int open_lock(const std::string &path, bool create) {
  return open(path.c_str(),
              O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | (create ? O_CREAT : 0),
              0600);
}

// Takes the lock of path: the fd, or -1 (errno EADDRINUSE when another process holds it).
// A lock file is removed by whoever holds it when the claim ends, so a lock taken on a file
// that was removed meanwhile is taken again on the file now there.
int lock_file(const std::string &path) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    int fd = open_lock(path, true);
    if (fd < 0)
      return -1;
    // A helper that only looks holds its shared lock for a moment.
    int rc;
    for (int look = 0; (rc = flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EWOULDBLOCK && look < 5;
         ++look)
      usleep(20 * 1000);
    if (rc != 0) {
      const int err = errno;
      close(fd);
      errno = err == EWOULDBLOCK ? EADDRINUSE : err;
      return -1;
    }
    struct stat by_fd, by_name;
    if (fstat(fd, &by_fd) == 0 && lstat(path.c_str(), &by_name) == 0 &&
        by_fd.st_dev == by_name.st_dev && by_fd.st_ino == by_name.st_ino)
      return fd;
    close(fd);
  }
  errno = EAGAIN;
  return -1;
}

bool claimed(const char *dir, const std::string &prefix) {
  const std::string name = claim_name(dir, prefix.c_str());
  if (name.empty() || (!held.fds.empty() && name == held.name))
    return false;
  for (const std::string &folder : claim_folders()) {
    own::fd fd(open_lock(folder + "/" + name, false));
    if (!fd)
      continue;
    // Shared: helpers that only look do not stand in each other's way.
    if (flock(fd.get(), LOCK_SH | LOCK_NB) != 0)
      return errno == EWOULDBLOCK;
    // Nobody holds it: it is a file left by a helper that ended.
    flock(fd.get(), LOCK_UN);
  }
  return false;
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
  held.name = claim_name(dir, prefix);
  if (held.name.empty()) {
    errno = ENOENT;
    return false;
  }
  const std::vector<std::string> folders = claim_folders();
  if (folders.empty()) {
    errno = EACCES;
    return false;
  }
  for (const std::string &folder : folders) {
    const std::string file = folder + "/" + held.name;
    const int fd = lock_file(file);
    if (fd < 0) {
      const int err = errno;
      release();
      errno = err;
      return false;
    }
    held.files.push_back(file);
    held.fds.push_back(fd);
  }
  held.pid = getpid();
  return true;
}

void release() {
  // Removed while still locked: a helper that opened it meanwhile sees that it is gone.
  for (std::size_t k = 0; k < held.fds.size(); ++k) {
    if (held.pid == getpid())
      unlink(held.files[k].c_str());
    close(held.fds[k]);
  }
  held.files.clear();
  held.fds.clear();
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

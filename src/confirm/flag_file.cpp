#include "confirm/flag_file.hpp"

#include "util/own.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr char kConfigDir[] = ".config/nivra-wine";
constexpr char kFlagFileName[] = "enable_wine_start_helper";

// snprintf's full length, so the messages can name it; -1 on a format error.
int format_path(char *buf, int size, const char *head, const char *tail) {
  return std::snprintf(buf, size > 0 ? static_cast<std::size_t>(size) : 0, "%s/%s", head, tail);
}

} // namespace

bool get_real_flag_file_dir(char *dir, int size) {
  const char *home = std::getenv("HOME");
  if (!home) {
    std::fprintf(stderr, "get_real_flag_file_dir: Could not get HOME environment variable.\n");
    return false;
  }
  int n = format_path(dir, size, home, kConfigDir);
  if (n < 0 || n >= size) {
    std::fprintf(stderr,
                 "get_real_flag_file_dir: Flag file path too long. n=%d, dir_size=%d, file "
                 "dir=%s/.config/nivra-wine\n",
                 n, size, home);
    return false;
  }
  return true;
}

bool get_real_flag_file_name(char *name, int size, const char *file_name) {
  char dir[256];
  if (!get_real_flag_file_dir(dir, sizeof(dir)))
    return false;
  int n = format_path(name, size, dir, file_name);
  if (n < 0 || n >= size) {
    std::fprintf(stderr, "get_real_flag_file_name: Flag file path too long.\n");
    return false;
  }
  return true;
}

void write_flag_file(bool no_prompt) {
  char path[256];
  if (!get_real_flag_file_name(path, sizeof(path), kFlagFileName))
    return;
  // Never through a link, and never into a FIFO or a device: whatever is there instead of
  // the user's own file is left as it is.
  own::fd fd(open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666));
  struct stat st {};
  if (!fd && errno == ELOOP) {
    std::fprintf(stderr, "错误：%s 是一个链接，不写入，保持原样\n", path);
    return;
  }
  if (!fd && errno != ENXIO) {
    std::perror("无法打开文件");
    return;
  }
  if (!fd || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    std::fprintf(stderr, "错误：%s 不是普通文件，不写入，保持原样\n", path);
    return;
  }
  // A second name (a hard link) shares the content with some other file, which emptying
  // it would overwrite.
  if (st.st_nlink != 1) {
    std::fprintf(stderr, "错误：%s 是一个链接，不写入，保持原样\n", path);
    return;
  }
  const char byte = no_prompt ? '0' : '1';
  if (ftruncate(fd.get(), 0) != 0 || write(fd.get(), &byte, 1) != 1)
    std::perror("无法写入文件");
}

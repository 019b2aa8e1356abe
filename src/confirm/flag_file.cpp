#include "confirm/flag_file.hpp"

#include "util/own.hpp"

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
  own::file fp(std::fopen(path, "w"));
  if (!fp) {
    std::perror("无法打开文件");
    return;
  }
  std::fputc(no_prompt ? '0' : '1', fp.get());
}

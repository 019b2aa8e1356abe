#include "startup.hpp"

#include "debuglog/log_sink.hpp"
#include "shell/main_window.hpp"
#include "util/bounded.hpp"
#include "util/own.hpp"
#include "util/shell_quote.hpp"

#include <gtk/gtk.h>
#include <log4c.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

char **app_argv = nullptr;
const char *wine_prefix = nullptr;
char wine_app_path[512];
int multi_thread_num = 0;
char sys_info[1024];
char exe_dir[256];

namespace {
constexpr char kLauncherName[] = "/nivra-wine-internal";
constexpr char kDefaultPrefix[] = "~/.wine";
} // namespace

char *get_exe_dir() {
  // Read into a larger buffer first so a target that does not fit exe_dir is
  // refused instead of being cut.
  char target[4096];
  ssize_t n = readlink("/proc/self/exe", target, sizeof(target));
  if (n >= 0 && static_cast<size_t>(n) >= sizeof(exe_dir)) {
    errno = ENAMETOOLONG;
    n = -1;
  }
  if (n < 0) {
    perror("readlink failed");
    return nullptr;
  }
  std::memcpy(exe_dir, target, static_cast<size_t>(n));
  exe_dir[n] = '\0';
  if (char *slash = std::strrchr(exe_dir, '/'))
    *slash = '\0';
  return exe_dir;
}

void get_sys_info() {
  struct utsname u;
  if (uname(&u) != 0) {
    perror("uname failed");
    return;
  }
  bounded::format(sys_info, sizeof(sys_info),
                  "sysname: %s\nnodename: %s\nrelease: %s\nversion: %s\nmachine: %s", u.sysname,
                  u.nodename, u.release, u.version, u.machine);
}

void get_wine_version() {
  char cmd[1024];
  // A launcher path with blanks or shell characters is passed as one word.
  std::string launcher = shell::quote_if_needed(wine_app_path);
  bounded::format(cmd, sizeof(cmd), "%s --version", launcher.c_str());
  shell::flush_std_streams();
  own::pipe fp(popen(cmd, "r"));
  if (!fp) {
    perror("popen failed");
    return;
  }
  char line[128];
  if (std::fgets(line, sizeof(line), fp.get())) {
    char version[512];
    bounded::format(version, sizeof(version), "\nnivra-wine version: %s", line);
    std::size_t len = std::strlen(sys_info);
    bounded::append(sys_info, sizeof(sys_info), &len, "%s", version);
  } else {
    std::printf("Failed to get Wine version.\n");
  }
  std::printf("sys:\n%s\n", sys_info);
  std::fflush(stdout);
}

namespace startup {

bool refuses_arguments(int argc, char **argv) {
  if (argc <= 1)
    return true;
  if (argc == 2 && std::strlen(argv[1]) >= 2 && argv[1][0] == '-' && argv[1][1] == '-')
    return true;
  return false;
}

int thread_num_from_env(const char *value) { return value ? std::atoi(value) : 0; }

const char *prefix_from_env(const char *value) {
  return (value && *value) ? value : kDefaultPrefix;
}

LauncherPath set_wine_app_path(const char *wine_app_env, const char *dir) {
  if (wine_app_env) {
    if (std::strlen(wine_app_env) >= sizeof(wine_app_path))
      return LauncherPath::too_long;
    std::strcpy(wine_app_path, wine_app_env);
    return LauncherPath::ok;
  }
  if (!dir)
    return LauncherPath::no_exe_dir;
  std::size_t need = std::strlen(dir) + sizeof(kLauncherName);
  if (need > sizeof(wine_app_path))
    return LauncherPath::too_long;
  own::gchars tmp(static_cast<gchar *>(g_try_malloc0(need)));
  if (!tmp)
    return LauncherPath::no_memory;
  std::snprintf(tmp.get(), need, "%s%s", dir, kLauncherName);
  std::memcpy(wine_app_path, tmp.get(), need);
  return LauncherPath::ok;
}

int run(int argc, char **argv) {
  app_argv = argv;
  wine_prefix = prefix_from_env(std::getenv("WINEPREFIX"));
  if (refuses_arguments(argc, argv))
    return 171;
  multi_thread_num = thread_num_from_env(std::getenv("MULTI_THREAD_NUM"));

  const char *wine_app_env = std::getenv("WINE_APP");
  const char *dir = wine_app_env ? nullptr : get_exe_dir();
  switch (set_wine_app_path(wine_app_env, dir)) {
  case LauncherPath::ok:
    break;
  case LauncherPath::too_long:
    std::fprintf(stderr, "错误：Wine 启动器路径过长（最多 %zu 字节），拒绝启动\n",
                 sizeof(wine_app_path) - 1);
    return 1;
  case LauncherPath::no_memory:
    perror("wine 内存分配失败");
    return 1;
  case LauncherPath::no_exe_dir:
    std::fprintf(stderr, "错误：无法确定程序所在目录，请用 WINE_APP 指定 Wine 启动器\n");
    return 1;
  }

  get_sys_info();
  get_wine_version();

  gtk_init(&argc, &argv);
  run_main_window();

  if (mycat)
    log4c_category_delete(mycat);
  log4c_fini();
  mycat = nullptr;
  return 0;
}

} // namespace startup

#pragma once
// Process-wide settings and the readers that turn the environment into them.
// Start-up writes each once, before GTK starts; afterwards they are only read,
// on the main thread (entry 0 of app_argv is rewritten just before launch).
#include <climits>
#include <cstddef>

extern char **app_argv;
extern const char *wine_prefix;
// As long as a path the system takes; longer ones are refused, never cut.
extern char wine_app_path[PATH_MAX];
extern int multi_thread_num;
extern char sys_info[1024];
extern char exe_dir[PATH_MAX];

// Directory of the running executable, or nullptr (with "readlink failed"
// through perror) when it cannot be read or does not fit exe_dir.
char *get_exe_dir();

namespace settings {

// MULTI_THREAD_NUM as atoi reads it; 0 when unset.
int thread_num_from_env(const char *value);

// WINEPREFIX, or "~/.wine" when unset or empty.
const char *prefix_from_env(const char *value);

enum class LauncherPath { ok, too_long, no_exe_dir, no_memory };
// Fills wine_app_path from WINE_APP, or from the program's directory when
// WINE_APP is unset or empty. Never stores a shortened path.
LauncherPath set_wine_app_path(const char *wine_app_env, const char *dir);

} // namespace settings

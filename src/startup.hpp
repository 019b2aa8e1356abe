#pragma once
// Process-wide settings read from the environment at start-up, and the
// start-up/teardown sequence. Written once before GTK starts, then only read
// on the main thread (entry 0 of app_argv is rewritten just before launch).
#include <cstddef>
#include <string>

extern char **app_argv;
extern const char *wine_prefix;
extern char wine_app_path[512];
extern int multi_thread_num;
extern char sys_info[1024];
extern char exe_dir[256];

// Directory of the running executable, or nullptr (with "readlink failed"
// through perror) when it cannot be read or does not fit exe_dir.
char *get_exe_dir();
void get_sys_info();
// Appends the launcher's first --version line to sys_info and prints "sys:".
// The query has startup::version_query_timeout_ms for its first line and its
// end together; past that its process group is killed, a warning names the
// launcher, and it counts as a query that printed nothing. It never outlives
// the call.
void get_wine_version();

namespace startup {

// How long the launcher's --version query may take (10 s); tests shorten it.
extern int version_query_timeout_ms;

// True for the argument shapes the program refuses with status 171.
bool refuses_arguments(int argc, char **argv);

// MULTI_THREAD_NUM as atoi reads it; 0 when unset.
int thread_num_from_env(const char *value);

// WINEPREFIX, or "~/.wine" when unset or empty.
const char *prefix_from_env(const char *value);

enum class LauncherPath { ok, too_long, no_exe_dir, no_memory };
// Fills wine_app_path from WINE_APP, or from the program's directory when
// WINE_APP is unset. Never stores a shortened path.
LauncherPath set_wine_app_path(const char *wine_app_env, const char *dir);

// Runs start-up, the main window and teardown; returns the exit status.
int run(int argc, char **argv);

} // namespace startup

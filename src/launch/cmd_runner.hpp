#pragma once
// Starting the Wine launcher: through the shell and waiting (run_cmd_sync), or
// directly as a grandchild that outlives this process (run_cmd_detached).
// Main thread only. Both flush stdout and stderr before forking and reap their
// own direct child; their children end with _exit.
#include <sys/types.h>

#include <cstddef>

// Runs the launcher cmd with args (ending in nullptr, possibly empty) through
// the shell in a child, which prints "cmd [%s]\n" with the line first, and
// waits for that child. The line is cut at 1022 characters. Returns the
// shell's wait status (127 or 126 when it could not run the launcher), or -1
// when nothing was run.
// With out_fd the command's output goes there, as with start_cmd.
int run_cmd_sync(const char *cmd, const char *const args[], int out_fd = -1);

// run_cmd_sync's child, started in a process group of its own and not waited
// for: its pid (the group's id), or -1 when nothing was started. With out_fd
// the command's output and errors go there; the "cmd [...]" line stays on stdout.
pid_t start_cmd(const char *cmd, const char *const args[], int out_fd = -1);

// Starts path (searched along PATH) with argv as a child in a process group of
// its own and returns its pid once it runs; -1 with *exec_error set when it
// could not be started. With out_fd its stdout and stderr go there.
pid_t spawn_in_group(const char *path, char *const argv[], int *exec_error, int out_fd = -1);

// Starts path (searched along PATH when it holds no '/') with argv, entry 0
// included, as a grandchild and returns once it has been replaced by path, or
// has failed to be: the wait status of the intermediate child, or -1 when it
// could not be created. *exec_error (when given) is 0 once path runs, else the
// errno of the failed exec or fork. A grandchild that cannot start path also
// prints "错误：无法启动 <path>: <reason>" on stderr and exits 127 (not found)
// or 126 (there but not runnable), as a shell does.
int run_cmd_detached(const char *path, char *const argv[], int *exec_error = nullptr);

namespace cmd_runner {

constexpr std::size_t kLineSize = 1024;
constexpr std::size_t kMaxLine = kLineSize - 2; // 1022 characters

// Forms the shell line of run_cmd_sync into line: the launcher, quoted when it
// holds blanks or shell characters, then " arg" for each argument, the whole
// cut at kMaxLine characters; arguments are not quoted. Returns false, with an
// empty line, when the quoted launcher alone does not fit.
bool build_cmd_line(const char *cmd, const char *const args[], char (&line)[kLineSize]);

// Length of that line before any cut; above kMaxLine it would be cut.
std::size_t full_cmd_line_length(const char *cmd, const char *const args[]);

// Why path could not be started as execvp would start it (searched along PATH
// when it holds no '/'): ENOENT, EACCES, ... or 0 when it looks runnable.
int launcher_error(const char *path);

} // namespace cmd_runner

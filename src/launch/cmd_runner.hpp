#pragma once
// Starting the Wine launcher: through the shell and waiting (run_cmd_sync), or
// directly as a grandchild that outlives this process (run_cmd_detached).
// Main thread only. Both flush stdout and stderr before forking and reap their
// own direct child; their children end with _exit.
#include <cstddef>

// Runs the launcher cmd with args (ending in nullptr, possibly empty) through
// the shell in a child, which prints "cmd [%s]\n" with the line first, and
// waits for that child. The line is cut at 1022 characters.
void run_cmd_sync(const char *cmd, const char *const args[]);

// Starts path (searched along PATH when it holds no '/') with argv, entry 0
// included, as a grandchild and returns at once: the wait status of the
// intermediate child, or -1 when it could not be created. A grandchild that
// cannot start path prints "错误：无法启动 <path>: <reason>" on stderr and
// exits 127 (not found) or 126 (there but not runnable), as a shell does.
int run_cmd_detached(const char *path, char *const argv[]);

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

} // namespace cmd_runner

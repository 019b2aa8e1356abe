// Calls one command runner the way the program does and ends with exit(), so
// tests can see what the runner's children print or leave behind:
//   runner_tool sync LAUNCHER [ARGS...]
//   runner_tool detached PATH [ARGV1...]   (argv[0] is PATH)
// Leaves "pending;" unflushed before the call and prints "exit handlers ran"
// from an atexit handler, so a child that flushes the parent's buffer again or
// runs its exit handlers shows up twice.
#include "launch/cmd_runner.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
void say_exit() { std::printf("exit handlers ran\n"); }
} // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: runner_tool sync|detached PATH [ARGS...]\n");
    return 2;
  }
  std::atexit(say_exit);
  // Full buffering even on a terminal, so the pending text really is pending.
  static char buf[4096];
  std::setvbuf(stdout, buf, _IOFBF, sizeof(buf));
  std::printf("pending;");
  if (std::strcmp(argv[1], "sync") == 0) {
    run_cmd_sync(argv[2], argv + 3);
  } else {
    int status = run_cmd_detached(argv[2], argv + 2);
    std::printf("status %d\n", status);
  }
  return 0;
}

// Holds files the ways a process of a Wine prefix can, then waits to be killed:
//
//   hold_files CWD OPEN MAP
//
// CWD becomes the working folder, OPEN stays open, MAP is mapped into memory
// and its descriptor closed; "-" leaves one out. Prints "ready" once all are
// held. The tests run copies named ntdll.dll, so that the map names that too.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

int main(int argc, char **argv) {
  if (argc != 4)
    return 2;
  auto given = [](const char *arg) { return std::strcmp(arg, "-") != 0; };
  if (given(argv[1]) && chdir(argv[1]) != 0)
    return 3;
  if (given(argv[2]) && open(argv[2], O_RDONLY) < 0)
    return 4;
  if (given(argv[3])) {
    int fd = open(argv[3], O_RDONLY);
    if (fd < 0 || mmap(nullptr, 1, PROT_READ, MAP_PRIVATE, fd, 0) == MAP_FAILED)
      return 5;
    close(fd);
  }
  std::puts("ready");
  std::fflush(stdout);
  for (;;)
    pause();
}

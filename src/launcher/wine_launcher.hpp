#pragma once
// nivra-wine-internal, the helper's Wine launcher: Debian's wine script, which
// also copes with a kernel that runs no 32-bit programs. Where Wine's 32-bit
// loader is absent it runs the system's wine itself; where the loader is
// there it starts it as that script does (WINEDEBUG=fixme-all when empty),
// and where the kernel refuses it (ENOEXEC) it starts the 64-bit loader as
// the script does without wine32 (WINELOADER too), without the script's hint
// to install wine32. Arguments, environment and exit status pass through.

namespace wine_launcher {

struct Paths {
  const char *loader32;    // Wine's i386 loader, from wine32
  const char *loader64;    // Wine's amd64 loader, from wine64
  const char *system_wine; // the system's own launcher
};

// Replaces this process with Wine run on argv[1...] (argv[0] is overwritten).
// Returns only when nothing could be started: the exit status to use, after a
// line on standard error (127: not found, 126: cannot be run).
int exec_wine(const Paths &paths, char **argv);

// True when arg, a program as Wine's command line names it (a Unix path, or
// a drive path such as C:\dir\setup.exe, read in WINEPREFIX, else ~/.wine),
// is a PE file for i386. Reads the file's first bytes only.
bool names_i386_program(const char *arg);

} // namespace wine_launcher

#pragma once
// Starts the prefix while the main window is read, so that the program starts
// on a running server with Wine's own services, desktop and drivers already up
// (and a prefix that needs updating after a Wine upgrade updated): the
// launcher runs cmd.exe with its input on a pipe that this process holds, and
// Wine starts everything else for that first program as it always does. The
// pipe keeps cmd.exe waiting; when this process ends, however it ends, cmd.exe
// reads end-of-file and leaves, and the server and Wine's processes go a few
// seconds later on their own. A prefix that does not exist yet is never
// created, and a prefix whose server already runs is left as it is. Main
// thread only.
#include "prefix/prefix_path.hpp"

#include <functional>
#include <string>
#include <vector>

namespace warmup {

// The folders in which a server of the prefix at prefix_folder (whose places
// are given) would keep its socket and lock: Wine's /tmp/.wine-UID, and the
// folder under tmp_dir that the prefix's "wineserver" file names, where the
// packaged Wine keeps it. Reads that file only.
std::vector<std::string> server_dirs(const prefix_path::PrefixPlaces &places, unsigned uid,
                                     const std::string &tmp_dir);

// True when a server holds the lock of one of those folders, as a running
// server does; a socket left by a server that ended holds none.
bool server_runs(const prefix_path::PrefixPlaces &places);

// True for a prefix that Wine has made: a folder with system.reg and user.reg.
bool prefix_exists(const std::string &folder);

enum class Outcome {
  started,
  no_prefix,   // nothing to start: it would be created
  server_runs, // already started, by the user or another program
  failed       // the launcher could not be started (said on stderr)
};

// Starts the warm-up of the current prefix through launcher unless one runs.
// Prints "prefix warm-up [<launcher> cmd.exe]\n" on stdout when it starts.
Outcome start(const char *launcher);

// True from a start until the warm-up has been reaped or let go.
bool running();

// Reaps the warm-up's first process once it has ended, saying on stderr when
// the launcher or Wine failed; one that was stopped goes quietly. Cheap:
// call it from time to time.
void reap();

// True for the processes the warm-up started itself (cmd.exe and what Wine
// runs it with, in its process group): Wine's housekeeping, never the user's.
bool is_own(int pid);

// The main window has gone. Closed without a start, with nothing of the
// user's running in the prefix, the warm-up's processes, Wine's own and the
// server it started are stopped now (the server saves the registry first);
// otherwise (program_started among them) only the warm-up's cmd.exe is let go.
void end_unused(bool program_started);

// Before a debug run: when nothing but the warm-up runs in the prefix, it is
// stopped, with the server it started, and this waits (a few seconds at most)
// until the server has ended, so that the run starts the prefix itself and
// its trace channels see the server and Wine's processes start. meanwhile, when
// given, is called every few milliseconds while it waits (to turn the main loop).
void cool_for_debug_run(const std::function<void()> &meanwhile = nullptr);

} // namespace warmup

#pragma once
// The start-up and teardown sequence: the settings from the environment, the
// system-information block, the main window and its loop, then log4c's end.
// Main thread only.
#include "confirm/confirm.hpp"

// Fills sys_info from uname.
void get_sys_info();
// Appends the launcher's first --version line to sys_info and prints "sys:".
// The query has limit_ms for its first line and its end together; past that
// its process group is killed, a warning names the launcher, and it counts as
// a query that printed nothing. It never outlives the call.
void get_wine_version(int limit_ms = 10000);

namespace startup {

// True for the argument shapes the program refuses with status 171.
bool refuses_arguments(int argc, char **argv);

// Runs start-up, the main window (a DPI change waiting for Wine within
// limits) and teardown; returns the exit status.
int run(int argc, char **argv, const confirm::limits &limits = {});

} // namespace startup

#pragma once
// A launcher that could not be started is said where a desktop user looks: a
// message box over the window with its path and the system's reason. The
// helper then ends with the shell's status for it. Main thread only.
#include <gtk/gtk.h>

#include <string>

namespace start_failure {

// 127 when err says that the program is not there (ENOENT, ENOTDIR), else
// 126, as a shell ends; 0 for 0.
int exit_status_for(int err);

// Shows the modal box over near's window and waits for its answer; records
// exit_status_for(err) as the helper's exit status.
void report(GtkWidget *near, const char *path, int err);

// Wine refused to run anything in the prefix: the box with Wine's line;
// records 1, Wine's own status for it.
void report_wine(GtkWidget *near, const std::string &wine_line);

// A start that went through: the helper ends with 0 again.
void clear();

// 0, or the status of the last failed start.
int exit_status();

} // namespace start_failure

#pragma once
// The step at the end of a logged debug run: a box offers one archive of the
// logs and the system facts that can be posted; it is made off the main thread
// behind a progress box with "取消", then shown in the file manager
// (org.freedesktop.FileManager1 over D-Bus, else the folder is opened). A
// failure is said in a box. Main thread only.
#include "report/system_facts.hpp"

#include <gtk/gtk.h>

namespace archive_step {

// Offers the archive when the run that just ended left at least one file of
// the series log_file; run (its display filled in here) goes into system.txt.
// Returns when the boxes are answered; the file manager is asked without
// waiting for it.
void after_run(GtkWidget *near, const char *log_file, system_facts::run_info run);

} // namespace archive_step

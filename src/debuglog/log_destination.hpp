#pragma once
// The "..." button of the debug dialog: chooses the log file, its size and
// count, offers older files of the same name for deletion, and sets up the
// log sink. Main thread, only while no run is active.
#include <gtk/gtk.h>

#include <cstdint>

void on_log_file_btn_clicked(GtkWidget *button, gpointer dialog);

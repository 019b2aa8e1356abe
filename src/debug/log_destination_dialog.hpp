#pragma once
// The "..." button of the debug dialog: chooses the log file, its size and
// count, offers older files of the same name for deletion, and sets up the
// log sink. Main thread, only while no run is active.
#include <gtk/gtk.h>

#include <cstdint>

void on_log_file_btn_clicked(GtkWidget *button, gpointer dialog);

// Asks for the size of each log file (with one of the units) and how many files to keep, again
// after each invalid value. Writes *size, unit (room for log_destination::unit_text_size bytes)
// and *count only when the user confirms valid values.
void show_log_size_dialog(GtkWindow *parent, const char *const *units, int unit_count,
                          std::int64_t *size, char *unit, int *count);

// 0: valid, the three places are written; 1: size invalid; 2: count invalid (places untouched).
int read_log_size_input(GtkEntry *size_entry, GtkComboBoxText *unit_combo, GtkEntry *count_entry,
                        std::int64_t *size, char *unit, int *count);

// Asks, one question each, whether to delete the regular files in dir whose names begin with
// name.
void check_same_prefix_files(GtkWindow *parent, const char *dir, const char *name);

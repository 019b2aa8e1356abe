#pragma once
// The program's one top-level window. Built and used on the GTK main thread.
#include "confirm/confirm.hpp"

#include <gtk/gtk.h>

#include <string>

extern const char *const dpi_values[12];

// Index in dpi_values of text, or -1.
int dpi_index_of(const char *text);

// "<parent of dir>/desktop/icons/hicolor/48x48/apps/wineconfig.png".
std::string icon_path_for(const char *dir);

// Idle callback: makes the button the focused default of its window.
gboolean grab_confirm_btn_default(gpointer button);

// Builds and shows the window (everything up to adding the idle callback);
// a DPI change waits for Wine within limits.
GtkWidget *build_main_window(const confirm::limits &limits = {});

// Builds the window and runs the GTK main loop until it ends.
void run_main_window(const confirm::limits &limits = {});

#pragma once
// The "确定" action: records the show-again choice, then either starts the
// program at once and exits, or applies a changed DPI: it asks first when
// programs of the user's run in the prefix, then, behind a modal progress
// dialog, writes the value, checks it at once and then once a second, and
// starts the program when the value has been verified or 20 checks have
// failed. Main thread only.
#include <gtk/gtk.h>

// Handed to the "确定" handler by the main window; allocated once, never freed.
struct confirm_data {
  GtkWidget *dpi_combo;
  GtkWidget *no_prompt_check;
  const char *current_dpi; // the reader's buffer, not a copy
};

// Owned by the timer, which frees it (and target) when it finishes.
struct dpi_apply_data {
  GtkWidget *dialog; // the progress dialog, or null
  gchar *target;     // the DPI text to write, g_free
  int attempts;      // checks that did not find the target
  int max_attempts;
  int done;
};

// "clicked" of "确定"; data is the main window's confirm_data.
void on_confirm_btn_clicked(GtkWidget *button, gpointer data);

// The write (first call) and each check; data is a dpi_apply_data. TRUE to be
// called again a second later.
gboolean apply_dpi_timeout(gpointer data);

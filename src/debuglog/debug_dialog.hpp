#pragma once
// The debug launch dialog and the state it shares with the log destination
// and the debug run while it is open. Main thread only; everything is cleared
// when the dialog ends.
#include <gtk/gtk.h>

struct log_channel_preset {
  int id;
  const char *label;
  const char *channel;
};
extern const log_channel_preset log_channel[13];

extern GtkWidget *cmdline_entry;
extern GtkWidget *log_channel_entry;
extern GtkWidget *env_entry;
extern GtkWidget *log_file_entry;
extern gchar *log_file_path; // owned, g_free
extern int log_enabled;
extern GtkWidget *log_config_ctrl[64];

int is_windows_path(const char *text);

void on_debug_app_btn_clicked(GtkWidget *button, gpointer main_window);
void combo_selected(GtkComboBox *combo, gpointer dialog);
void on_log_check_clicked(GtkWidget *check, gpointer widget_list);

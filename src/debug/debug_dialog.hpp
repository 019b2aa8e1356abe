#pragma once
// The debug launch dialog and the state it shares with the log destination
// and the debug run while it is open. Main thread only; everything is cleared
// when the dialog ends.
#include "debug/debug_cmdline.hpp"

#include <gtk/gtk.h>

#include <cstddef>

struct log_channel_preset {
  int id;
  const char *label;
  const char *channel;
};
// Twelve presets and an end row whose id is -1.
extern const log_channel_preset log_channel[13];

extern GtkWidget *cmdline_entry;
extern GtkWidget *log_channel_entry;
extern GtkWidget *env_entry;
extern GtkWidget *log_file_entry;
extern gchar *log_file_path; // owned, g_free
extern int log_enabled;
// Widgets that follow the "启动日志" check button, ended by the first empty slot.
extern GtkWidget *log_config_ctrl[64];

// Stores widget in the next free slot of log_config_ctrl. The last slot always
// stays empty as the end marker; going past it stops the program.
void register_log_config_ctrl(std::size_t &ctrl_current_index, GtkWidget *widget);

// What the end-of-run line names as the place of the log: the chosen file, or
// "无" when none was chosen. Never null.
const char *saved_log_location(const char *path);

void on_debug_app_btn_clicked(GtkWidget *button, gpointer main_window);
void combo_selected(GtkComboBox *combo, gpointer dialog);
void on_log_check_clicked(GtkWidget *check, gpointer widget_list);

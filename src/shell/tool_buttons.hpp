#pragma once
// The main window's "配置" (winecfg) and "设置" (Internet options) buttons.
// Each starts its tool through the launcher and returns to the main loop; the
// tool's end is handled from there. While a tool runs, nothing else starts
// (activity). Closing the window meanwhile leaves the tool running.
#include <gtk/gtk.h>

void on_wine_cfg_btn_clicked(GtkWidget *button, gpointer data);
void on_net_proxy_btn_clicked(GtkWidget *button, gpointer data);

namespace tool_buttons {

// True while a tool started by a button has not ended.
bool running();

// True once a button has started a tool in this process: the prefix then has a
// program of the user's, which may not show among its processes yet.
bool started_any();

} // namespace tool_buttons

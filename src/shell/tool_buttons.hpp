#pragma once
// The main window's "配置" (winecfg) and "设置" (Internet options) buttons.
// Each runs its tool through the launcher and blocks the main loop until the
// tool has ended.
#include <gtk/gtk.h>

void on_wine_cfg_btn_clicked(GtkWidget *button, gpointer data);
void on_net_proxy_btn_clicked(GtkWidget *button, gpointer data);

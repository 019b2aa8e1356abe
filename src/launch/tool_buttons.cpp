#include "launch/tool_buttons.hpp"

#include "launch/cmd_runner.hpp"
#include "settings/settings.hpp"

void on_wine_cfg_btn_clicked(GtkWidget *, gpointer) {
  const char *const args[] = {"winecfg", nullptr};
  run_cmd_sync(wine_app_path, args);
}

void on_net_proxy_btn_clicked(GtkWidget *, gpointer) {
  const char *const args[] = {"rundll32.exe", "shell32.dll,Control_RunDLL", "inetcpl.cpl", nullptr};
  run_cmd_sync(wine_app_path, args);
}

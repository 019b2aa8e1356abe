#include "shell/tool_buttons.hpp"

#include "launch/cmd_runner.hpp"
#include "launch/output_capture.hpp"
#include "launch/start_failure.hpp"
#include "prefix/prefix_path.hpp"
#include "settings/settings.hpp"

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace {

// The shell says 127 or 126 when it could not run the launcher; a tool that
// ends so on its own leaves a launcher that can run, and no box. Wine that
// refuses the prefix says so in a line of its own.
void run_tool(GtkWidget *button, const char *const args[]) {
  // A launcher path long enough to cut the tool's name off the line runs nothing.
  if (cmd_runner::full_cmd_line_length(wine_app_path, args) > cmd_runner::kMaxLine) {
    std::fprintf(stderr, "错误：启动器路径过长，无法组成命令行\n");
    return;
  }
  std::string refusal = prefix_path::wine_refusal(prefix_path::current());
  if (!refusal.empty()) {
    start_failure::report_wine(button, refusal);
    return;
  }
  output_capture::File out;
  int status = run_cmd_sync(wine_app_path, args, out.fd());
  std::string line = output_capture::first_error_line(out.finish());
  if (status < 0 || !WIFEXITED(status) || WEXITSTATUS(status) == 0)
    return;
  if (WEXITSTATUS(status) == 126 || WEXITSTATUS(status) == 127) {
    if (int err = cmd_runner::launcher_error(wine_app_path))
      start_failure::report(button, wine_app_path, err);
    return;
  }
  if (line.rfind("wine: ", 0) == 0)
    start_failure::report_wine(button, line);
}

} // namespace

void on_wine_cfg_btn_clicked(GtkWidget *button, gpointer) {
  const char *const args[] = {"winecfg", nullptr};
  run_tool(button, args);
}

void on_net_proxy_btn_clicked(GtkWidget *button, gpointer) {
  const char *const args[] = {"rundll32.exe", "shell32.dll,Control_RunDLL", "inetcpl.cpl", nullptr};
  run_tool(button, args);
}

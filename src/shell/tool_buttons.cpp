#include "shell/tool_buttons.hpp"

#include "launch/activity.hpp"
#include "launch/child_watch.hpp"
#include "launch/cmd_runner.hpp"
#include "launch/output_capture.hpp"
#include "launch/start_failure.hpp"
#include "prefix/prefix_path.hpp"
#include "settings/settings.hpp"

#include <sys/wait.h>

#include <cstdio>
#include <memory>
#include <string>

namespace {

bool tool_running = false;
bool tool_started = false;

// What a running tool needs when it ends: its output, and the button to show a
// box near, which may be gone by then.
struct tool_run {
  output_capture::File out;
  GtkWidget *near = nullptr;

  explicit tool_run(GtkWidget *button) : near(button) {
    if (near)
      g_object_add_weak_pointer(G_OBJECT(near), reinterpret_cast<gpointer *>(&near));
  }
  ~tool_run() {
    if (near)
      g_object_remove_weak_pointer(G_OBJECT(near), reinterpret_cast<gpointer *>(&near));
  }
};

// The shell says 127 or 126 when it could not run the launcher; a tool that
// ends so on its own leaves a launcher that can run, and no box. Wine that
// refuses the prefix says so in a line of its own.
void tool_ended(tool_run &run, int status) {
  std::string line = output_capture::first_error_line(run.out.finish());
  if (!WIFEXITED(status) || WEXITSTATUS(status) == 0)
    return;
  if (WEXITSTATUS(status) == 126 || WEXITSTATUS(status) == 127) {
    if (int err = cmd_runner::launcher_error(wine_app_path))
      start_failure::report(run.near, wine_app_path, err);
    return;
  }
  if (line.rfind("wine: ", 0) == 0)
    start_failure::report_wine(run.near, line);
}

void run_tool(GtkWidget *button, const char *const args[]) {
  // A click that arrives while something runs starts nothing.
  if (!activity::begin())
    return;
  // A launcher path long enough to cut the tool's name off the line runs nothing.
  if (cmd_runner::full_cmd_line_length(wine_app_path, args) > cmd_runner::kMaxLine) {
    std::fprintf(stderr, "错误：启动器路径过长，无法组成命令行\n");
    activity::end();
    return;
  }
  std::string refusal = prefix_path::wine_refusal(prefix_path::current());
  if (!refusal.empty()) {
    start_failure::report_wine(button, refusal);
    activity::end();
    return;
  }
  auto run = std::make_shared<tool_run>(button);
  pid_t pid = start_cmd(wine_app_path, args, run->out.fd());
  if (pid < 0) {
    activity::end();
    return;
  }
  tool_running = tool_started = true;
  child_watch::watch(pid, 0, [run](int status, bool) {
    tool_running = false;
    tool_ended(*run, status);
    activity::end();
  });
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

namespace tool_buttons {

bool running() { return tool_running; }

bool started_any() { return tool_started; }

} // namespace tool_buttons

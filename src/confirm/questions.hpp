#pragma once
// The questions and notices of a DPI change that closes programs: modal
// message dialogs over the window of near, each destroyed after its answer.
// Names are shown one a line, as they are (invalid UTF-8 mended). Main thread
// only.
#include <gtk/gtk.h>

#include <string>
#include <vector>

namespace questions {

// Before programs are asked to close: true for "关闭并继续". "取消" is the
// focused default, so an Enter held down since "确定" closes nothing.
bool ask_to_close(GtkWidget *near, const std::vector<std::string> &programs);

// The programs did not close within the limit: true for "强制关闭"; "取消",
// the focused default, leaves them running.
bool ask_to_force(GtkWidget *near, const std::vector<std::string> &programs, int seconds);

// A program said no: names those still running; nothing was changed.
void say_refused(GtkWidget *near, const std::vector<std::string> &programs);

// The registry write did not end within seconds and was stopped.
void say_write_timed_out(GtkWidget *near, int seconds);

} // namespace questions

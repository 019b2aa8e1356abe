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

// The programs could not be asked: Wine could not run its end of the session
// (wine_line, what it said), or, with wine_line empty, they run on another
// Wine desktop, whose windows Wine does not ask. True for "强制关闭".
bool ask_to_force_unasked(GtkWidget *near, const std::vector<std::string> &programs,
                          const std::string &wine_line);

// A program said no: names those still running. Before the write nothing was
// changed; after it (written) the value is set but these programs still run.
void say_refused(GtkWidget *near, const std::vector<std::string> &programs, bool written);

// The DPI was not changed, or may not have been: text, and under it what
// Wine said (may be empty).
void say_not_applied(GtkWidget *near, const std::string &text, const std::string &detail);

// The registry write did not end within seconds and was stopped.
void say_write_timed_out(GtkWidget *near, int seconds);

} // namespace questions

#pragma once
// The debug run: runs the composed command and, with logging on and a log
// file chosen, captures all its output into the log sink. Called on the main
// thread; the run goes on while the main loop turns, its figures shown in the
// dialog with "停止", and the call returns once it has ended and every captured
// block is written.

// False when nothing ran: a box over the dialog has said why (the log cannot be
// written, the shell rejects the line, the command is too long, no shell).
// After a run, a box says so when nothing was captured, when the shell could
// not find or start a command of the line, and where the log stopped when a
// write to it failed (a full disk).
bool process_debug_log();

#include <gtk/gtk.h>

namespace debug_run {

// True while a run goes on.
bool running();

// True when the log of the last captured run stopped before its end.
bool log_was_cut();

// The main window is being closed during a run: asks over near whether to stop
// the program, and stops it when the user agrees. True when the run is being
// stopped for the window to close (window_closing() then holds until the next
// run); the window closes once the run has ended.
bool stop_for_closing(GtkWidget *near);
bool window_closing();

// The question of "停止": true when the user agrees to stop the program.
bool ask_to_stop(GtkWidget *near);

} // namespace debug_run

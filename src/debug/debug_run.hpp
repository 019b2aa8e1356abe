#pragma once
// The debug run: runs the composed command and, with logging on and a log
// file chosen, captures all its output into the log sink. Main thread; blocks
// until the command has ended and every captured block is written.

// False when nothing ran: a box over the dialog has said why (the log cannot be
// written, the shell rejects the line, the command is too long, no shell).
// After a run, a box says so when nothing was captured or when the shell could
// not find or start a command of the line.
bool process_debug_log();

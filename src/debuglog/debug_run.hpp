#pragma once
// The debug run: runs the composed command and, with logging on and a log
// file chosen, captures all its output into the log sink. Main thread; blocks
// until the command has ended and every captured block is written.

void process_debug_log();

#pragma once
// Capturing a debug run's output: the read loop that cuts output into blocks of
// whole lines, and the run that feeds those blocks to mycat directly or through
// writer threads. No GTK here; the caller passes the dialog's texts. Main thread.
#include <pthread.h>

#include <cstddef>
#include <cstdio>
#include <string>

namespace capture {

inline constexpr std::size_t read_size = 512;

// How a block was cut: before the last line break of a piece (the break itself is
// not in the block), as a 512-byte piece of a longer line, or at the end of the
// output, which did not end with a line break.
enum class block_end { line_break, full_buffer, end_of_output };

// Gets each block as terminated text of len bytes; the text is only lent.
using block_fn = void (*)(void *ctx, const char *block, std::size_t len, block_end how);

struct loop_stats {
  std::size_t blocks = 0;
  std::size_t bytes = 0;     // bytes read
  std::size_t nul_bytes = 0; // of which NUL, left out of the blocks
};

// Reads `in` until it ends or fails, 512 bytes at a time, and hands every block to
// fn in order. A block cannot carry a NUL byte, so NUL bytes are left out; every
// other byte reaches fn exactly once. Prints the loop's progress lines on stdout.
loop_stats read_blocks(std::FILE *in, block_fn fn, void *ctx);

// True when text is one simple command that "WINEDEBUG=... 2>&1" covers whole:
// outside quotes no operator, redirection, comment, substitution or line break,
// and no reserved word where the command's name goes.
bool is_simple_command(const char *text);

// The shell command of a debug run, cut at 2046 bytes like the run cuts it.
// "WINEDEBUG=%s %s %s" when that is one simple command; otherwise the channel
// and the assignments are exported first and the line runs as typed, grouped,
// so that every command of it gets them. With merge_stderr, "2>&1" ends it and
// covers the whole line. True when nothing was cut.
bool compose_command(char (&buf)[2048], const char *channel, const char *env, const char *cmdline,
                     bool merge_stderr);

// What became of a debug run.
struct run_outcome {
  enum class kind {
    ran,      // the shell ran the text; status is its wait status
    too_long, // the command did not fit its buffer and was not run
    refused,  // the shell rejected the text (detail: its message) and nothing ran
    no_shell, // the shell could not be started (detail: the system's error text)
  };
  kind what = kind::ran;
  int status = 0;
  std::string detail;
};

// Asks the shell whether it accepts text, without running any of it.
run_outcome check_syntax(const char *text);

// The captured run: runs the command with its output merged, logs every block
// into mycat (directly, or through thread_num writer threads), then deletes
// mycat. A negative thread_num counts as 0, with a warning. A command that is
// refused or too long runs nothing and leaves mycat alone.
run_outcome run_captured(const char *channel, const char *env, const char *cmdline, int thread_num);

// Picks the mode: captured when logging is on and a log file is chosen; with
// logging on but no file, the command with WINEDEBUG and env through system();
// with logging off, the command line alone. Every failure prints an "错误：" line.
run_outcome run_debug(bool log_enabled, bool has_log_file, const char *channel, const char *env,
                      const char *cmdline, int thread_num);

// How writer threads are started; tests replace it to make starts fail.
using thread_start_fn = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
extern thread_start_fn start_thread;

} // namespace capture

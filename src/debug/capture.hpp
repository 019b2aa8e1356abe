#pragma once
// Capturing a debug run's output: the read loop that cuts output into blocks of
// whole lines, and the run that feeds those blocks to mycat directly or through
// writer threads. No GTK here; the caller passes the dialog's texts. A run is
// started from the main thread and returns to its loop at once: the shell runs
// in a process group of its own, watched from the main loop, and its output is
// read on a thread of its own, which is then the only one to enter log4c (or
// to fill the writers' queue) until the run has ended.
#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>

struct log_queue;

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

// What a captured run has logged so far: written by its reader, read by anyone.
struct progress {
  std::atomic<std::uint64_t> lines{0}; // line breaks handed on, and a last line without one
  std::atomic<std::uint64_t> bytes{0}; // bytes read, NUL bytes included
};

// Cuts output into blocks as it arrives, in any pieces, exactly as reading 512
// bytes less what is carried at a time would: a block is every complete line of
// such a window, or a 512-byte piece of a longer line. Prints the loop's
// progress lines on stdout.
class block_cutter {
public:
  block_cutter(block_fn fn, void *ctx, loop_stats &stats, progress *figures = nullptr);
  // One read's bytes.
  void arrive(const char *data, std::size_t n);
  // The output has ended: its last line, when it had no line break, is handed on.
  void end();

private:
  void step(std::size_t kept);

  block_fn fn_;
  void *ctx_;
  loop_stats &stats_;
  progress *figures_;
  char buf_[read_size + 1] = {};
  std::size_t carry_ = 0;
  std::uint64_t breaks_ = 0; // line breaks in buf_, not yet handed on
  bool first_ = true;
};

// Reads `in` until it ends or fails and hands every block to fn in order. A
// block cannot carry a NUL byte, so NUL bytes are left out; every other byte
// reaches fn exactly once.
loop_stats read_blocks(std::FILE *in, block_fn fn, void *ctx);

// Makes the pipe of fd as large as the kernel lets this process make it, up
// to 1 MiB; returns its size in bytes.
int enlarge_pipe(int fd);

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
  bool stopped = false; // ended by stop()
};

// Asks the shell whether it accepts text, without running any of it.
run_outcome check_syntax(const char *text);

// What a debug run is asked to run. The mode: captured when logging is on and a
// log file is chosen; with logging on but no file, the command with WINEDEBUG
// and env, its output going where the helper's goes; with logging off, the
// command line alone.
struct run_request {
  bool log_enabled = false;
  bool has_log_file = false;
  const char *channel = "";
  const char *env = "";
  const char *cmdline = "";
  int thread_num = 0; // writer threads of a captured run; negative counts as 0, with a warning
  bool captured() const { return log_enabled && has_log_file; }
};

// How long a stopped run's process group has after SIGTERM before SIGKILL.
inline constexpr int stop_grace_ms = 3000;

// A debug run that goes on. It has ended once the shell has ended and, when
// captured, its output has been read to the end (Wine's own processes, which
// inherit it, close it when they end), every block is written, the writers
// have ended and mycat is deleted. Main thread only, but for figures().
class live_run {
public:
  ~live_run(); // waits, turning the main loop, for a run that has not ended
  live_run(const live_run &) = delete;
  live_run &operator=(const live_run &) = delete;

  bool captured() const { return captured_; }
  bool ended() const { return ended_; }
  // The shell has ended; Wine's own processes may still hold the output open.
  bool program_ended() const { return shell_done_; }
  const progress &figures() const { return figures_; }
  // Valid once ended().
  const run_outcome &outcome() const { return outcome_; }

  // Called from the main loop once the run has ended (at once when it has).
  void on_end(std::function<void()> done);
  // Ends the program: its process group gets SIGTERM, and SIGKILL after
  // stop_grace_ms. What it printed before is still read to the end and logged.
  void stop();
  bool stopping() const { return outcome_.stopped; }
  // Turns the main loop until the run has ended.
  void wait();

private:
  friend std::unique_ptr<live_run> start_debug(const run_request &, run_outcome &);
  live_run() = default;
  static int output_read(void *self);
  void read_output();
  void shell_ended(int status);
  void finish_if_done();

  bool captured_ = false;
  pid_t pid_ = -1;
  int out_fd_ = -1;
  int pipe_size_ = 0;
  log_queue *queue_ = nullptr;
  std::thread reader_;
  bool shell_done_ = false;
  bool output_done_ = true;
  bool ended_ = false;
  run_outcome outcome_;
  progress figures_;
  std::function<void()> done_;
};

// Starts the run and returns while it goes on; every failure prints an "错误："
// line. A command that is refused or too long runs nothing and leaves mycat
// alone: nullptr, with why in refused. A captured run prints "cmdline [...]"
// first, logs every block into mycat (directly, or through writer threads)
// and deletes mycat at its end.
std::unique_ptr<live_run> start_debug(const run_request &request, run_outcome &refused);

// start_debug, then wait() for the end: the run's outcome.
run_outcome run_debug(bool log_enabled, bool has_log_file, const char *channel, const char *env,
                      const char *cmdline, int thread_num);
run_outcome run_captured(const char *channel, const char *env, const char *cmdline, int thread_num);

// How writer threads are started; tests replace it to make starts fail.
using thread_start_fn = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
extern thread_start_fn start_thread;

} // namespace capture

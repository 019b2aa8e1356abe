#include "debug/capture.hpp"

#include "launch/child_watch.hpp"
#include "launch/cmd_runner.hpp"
#include "log/log_queue.hpp"
#include "log/log_sink.hpp"
#include "util/bounded.hpp"
#include "util/own.hpp"
#include "util/shell_quote.hpp"

#include <fcntl.h>
#include <glib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

namespace capture {

thread_start_fn start_thread = pthread_create;

namespace {

constexpr std::size_t kCommandBound = 2047;
constexpr int kInitialQueueSize = 10;
constexpr int kPipeCapacity = 1024 * 1024;
constexpr int kSmallestPipe = 64 * 1024;
// A program that prints line by line wakes a waiting reader for every line. After
// a read that brought less than kGatherBytes the reader sleeps kGatherNanos
// first, so output gathers in the pipe and is read in few large reads. Only in a
// pipe large enough that the program can write on meanwhile: at Wine's +relay
// speed, 2 ms of output is far less than half of 512 KiB.
constexpr std::size_t kGatherBytes = 16 * 1024;
constexpr long kGatherNanos = 2 * 1000 * 1000;
constexpr int kGatherPipe = 512 * 1024;

std::uint64_t count_breaks(const char *at, std::size_t n) {
  std::uint64_t breaks = 0;
  for (const char *end = at + n; (at = static_cast<const char *>(std::memchr(at, '\n', end - at)));
       ++at)
    ++breaks;
  return breaks;
}

// Copies n bytes to `to` without their NUL bytes; returns the bytes kept.
std::size_t copy_without_nul(char *to, const char *from, std::size_t n, loop_stats &stats) {
  const char *nul = static_cast<const char *>(std::memchr(from, '\0', n));
  if (!nul) {
    std::memcpy(to, from, n);
    return n;
  }
  char *out = to;
  for (const char *p = from, *end = from + n; p < end; ++p)
    if (*p)
      *out++ = *p;
  const auto kept = static_cast<std::size_t>(out - to);
  stats.nul_bytes += n - kept;
  return kept;
}

// The pieces of an over-long line follow each other as records of their own;
// a line break added to a piece would be a line the program never printed.
void deliver_direct(void *, const char *block, std::size_t, block_end) {
  log4c_category_log(mycat, LOG4C_PRIORITY_INFO, "%s", block);
}

void deliver_queued(void *queue, const char *block, std::size_t, block_end) {
  log_queue_push(static_cast<log_queue *>(queue), block);
}

// Starts the writers; nullptr when none could be started, and the run then
// logs directly instead of filling a store that nobody empties.
log_queue *start_writers(int wanted) {
  log_queue *queue = log_queue_create(kInitialQueueSize);
  if (!queue) {
    std::fprintf(stderr, "警告：无法创建日志队列，改为直接写入日志\n");
    return nullptr;
  }
  int running = 0;
  int first_error = 0;
  for (int j = 0; j < wanted; ++j) {
    auto *arg = new (std::nothrow) writer_arg{queue, j};
    pthread_t thread;
    const int rc = arg ? start_thread(&thread, nullptr, output_log_thread, arg) : ENOMEM;
    if (rc != 0) {
      // The next start would fail the same way: go on with the writers running.
      delete arg;
      first_error = rc;
      break;
    }
    pthread_detach(thread);
    log_queue_add_writer(queue);
    ++running;
  }
  queue->started.store(1);
  if (running < wanted)
    std::fprintf(stderr, "错误：%d 个日志写入线程无法启动（%s），%d 个在运行\n", wanted - running,
                 std::strerror(first_error), running);
  if (running == 0) {
    std::fprintf(stderr, "警告：没有日志写入线程，改为直接写入日志\n");
    log_queue_destroy(queue);
    return nullptr;
  }
  return queue;
}

} // namespace

block_cutter::block_cutter(block_fn fn, void *ctx, loop_stats &stats, progress *figures)
    : fn_(fn), ctx_(ctx), stats_(stats), figures_(figures) {}

void block_cutter::arrive(const char *data, std::size_t n) {
  while (n > 0) {
    // What one read of the window's free room would have brought.
    const std::size_t take = std::min(read_size - carry_, n);
    const std::size_t kept = copy_without_nul(buf_ + carry_, data, take, stats_);
    stats_.bytes += take;
    if (first_) {
      std::printf("len: %d\n", static_cast<int>(take));
      first_ = false;
    }
    breaks_ += count_breaks(buf_ + carry_, kept);
    data += take;
    n -= take;
    step(kept);
  }
  if (figures_)
    figures_->bytes.store(stats_.bytes, std::memory_order_relaxed);
}

void block_cutter::step(std::size_t kept) {
  const std::size_t n = carry_ + kept;
  buf_[n] = '\0';
  auto *brk = static_cast<char *>(memrchr(buf_, '\n', n));
  if (brk) {
    *brk = '\0';
    const auto at = static_cast<std::size_t>(brk - buf_);
    fn_(ctx_, buf_, at, block_end::line_break);
    ++stats_.blocks;
    if (figures_)
      figures_->lines.fetch_add(breaks_, std::memory_order_relaxed);
    breaks_ = 0;
    carry_ = n - at - 1;
    std::memmove(buf_, brk + 1, carry_);
  } else if (n == read_size) {
    std::printf("get max size buf, but do not found break, len %d\n", static_cast<int>(n));
    fn_(ctx_, buf_, n, block_end::full_buffer);
    ++stats_.blocks;
    carry_ = 0;
  } else {
    std::printf("do not found break, len %d\n", static_cast<int>(n));
    carry_ = n;
  }
}

void block_cutter::end() {
  if (first_) {
    std::printf("len: %d\n", 0);
    first_ = false;
  }
  // The output ended without a line break: its last line is still owed.
  if (carry_ > 0) {
    buf_[carry_] = '\0';
    fn_(ctx_, buf_, carry_, block_end::end_of_output);
    ++stats_.blocks;
    if (figures_)
      figures_->lines.fetch_add(1, std::memory_order_relaxed);
    carry_ = 0;
  }
  if (figures_)
    figures_->bytes.store(stats_.bytes, std::memory_order_relaxed);
}

loop_stats read_blocks(std::FILE *in, block_fn fn, void *ctx) {
  loop_stats stats;
  block_cutter cut(fn, ctx, stats);
  std::vector<char> buf(64 * 1024);
  std::size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), in)) > 0)
    cut.arrive(buf.data(), n);
  cut.end();
  return stats;
}

int enlarge_pipe(int fd) {
  // An unprivileged process may go up to pipe-max-size, and not even that once its
  // pipes hold more than the user's soft share: try smaller sizes then.
  int want = kPipeCapacity;
  if (own::file max(std::fopen("/proc/sys/fs/pipe-max-size", "re")); max) {
    long limit = 0;
    if (std::fscanf(max.get(), "%ld", &limit) == 1 && limit >= kSmallestPipe)
      want = static_cast<int>(std::min<long>(limit, kPipeCapacity));
  }
  for (; want >= kSmallestPipe; want /= 2)
    if (fcntl(fd, F_SETPIPE_SZ, want) >= 0)
      break;
  return fcntl(fd, F_GETPIPE_SZ);
}

namespace {

bool is_assignment(std::string_view word) {
  std::size_t i = 0;
  while (i < word.size() &&
         (g_ascii_isalpha(word[i]) || word[i] == '_' || (i > 0 && g_ascii_isdigit(word[i]))))
    ++i;
  return i > 0 && i < word.size() && word[i] == '=';
}

bool is_reserved_word(std::string_view word) {
  static constexpr std::string_view reserved[] = {
      "!",  "{",  "}",    "case",  "do",    "done", "elif", "else",     "esac",   "fi",   "for",
      "if", "in", "then", "until", "while", "[[",   "]]",   "function", "select", "time", "coproc"};
  return std::find(std::begin(reserved), std::end(reserved), word) != std::end(reserved);
}

// Assignments before these special built-ins set the shell's variables without exporting
// them (dash), so the commands they run in turn would not get them.
bool runs_commands_unexported(std::string_view word) { return word == "." || word == "eval"; }

// The text's words as written (quotes kept), split at blanks outside quotes; false when it
// holds anything that makes more than one simple command of it.
bool simple_words(std::string_view t, std::vector<std::string_view> &words) {
  std::size_t start = std::string_view::npos;
  for (std::size_t i = 0; i < t.size(); ++i) {
    const char c = t[i];
    if (c == ' ' || c == '\t') {
      if (start != std::string_view::npos)
        words.push_back(t.substr(start, i - start));
      start = std::string_view::npos;
      continue;
    }
    if (start == std::string_view::npos)
      start = i;
    if (c == '\\') {
      if (++i == t.size())
        return false;
    } else if (c == '\'') {
      i = t.find('\'', i + 1);
      if (i == std::string_view::npos)
        return false;
    } else if (c == '"') {
      for (++i; i < t.size() && t[i] != '"'; ++i) {
        if (t[i] == '\\')
          ++i;
        else if (t[i] == '`' || (t[i] == '$' && i + 1 < t.size() && t[i + 1] == '('))
          return false;
      }
      if (i >= t.size())
        return false;
    } else if (c == '`' || (c == '$' && i + 1 < t.size() && t[i + 1] == '(') ||
               std::strchr(";&|<>()#\n", c)) {
      return false;
    }
  }
  if (start != std::string_view::npos)
    words.push_back(t.substr(start));
  return true;
}

} // namespace

bool is_simple_command(const char *text) {
  std::vector<std::string_view> words;
  if (!text || !simple_words(text, words))
    return false;
  for (std::string_view word : words)
    if (!is_assignment(word))
      return !is_reserved_word(word) && !runs_commands_unexported(word);
  return true;
}

bool compose_command(char (&buf)[2048], const char *channel, const char *env, const char *cmdline,
                     bool merge_stderr) {
  channel = channel ? channel : "";
  env = env ? env : "";
  cmdline = cmdline ? cmdline : "";
  bool fitted = bounded::format(buf, kCommandBound, "WINEDEBUG=%s %s %s", channel, env, cmdline);
  if (fitted && is_simple_command(buf))
    return merge_stderr ? bounded::format(buf, kCommandBound, "WINEDEBUG=%s %s %s 2>&1", channel,
                                          env, cmdline)
                        : true;
  // set -a exports what the assignments set; the line break ends a comment in the line
  // before the group closes.
  return bounded::format(buf, kCommandBound, "set -a; WINEDEBUG=%s %s; set +a; { %s\n}%s", channel,
                         env, cmdline, merge_stderr ? " 2>&1" : "");
}

run_outcome check_syntax(const char *text) {
  run_outcome out;
  const char *argv[] = {"/bin/sh", "-n", "-c", text, nullptr};
  gchar *err_text = nullptr;
  GError *error = nullptr;
  int wait_status = 0;
  shell_quote::flush_std_streams();
  const auto flags =
      static_cast<GSpawnFlags>(G_SPAWN_STDIN_FROM_DEV_NULL | G_SPAWN_STDOUT_TO_DEV_NULL);
  if (!g_spawn_sync(nullptr, const_cast<char **>(argv), nullptr, flags, nullptr, nullptr, nullptr,
                    &err_text, &wait_status, &error)) {
    out.what = run_outcome::kind::no_shell;
    out.detail = error->message;
    g_error_free(error);
    return out;
  }
  if (!WIFEXITED(wait_status) || WEXITSTATUS(wait_status) != 0) {
    out.what = run_outcome::kind::refused;
    out.status = wait_status;
    out.detail = err_text ? err_text : "";
    while (!out.detail.empty() && out.detail.back() == '\n')
      out.detail.pop_back();
  }
  g_free(err_text);
  return out;
}

namespace {

// Checks a command before it runs; prints the "错误：" line of a refusal.
run_outcome admit(const char *command, bool fitted) {
  run_outcome out;
  if (!fitted) {
    out.what = run_outcome::kind::too_long;
    std::fprintf(stderr, "错误：命令超过 %zu 字节，没有运行\n", kCommandBound - 1);
    return out;
  }
  out = check_syntax(command);
  if (out.what == run_outcome::kind::refused)
    std::fprintf(stderr, "错误：shell 拒绝了命令，没有运行：%s\n", out.detail.c_str());
  // A check that could not start says nothing about the text: starting the run itself
  // then fails, or succeeds, on its own account.
  if (out.what == run_outcome::kind::no_shell)
    out = {};
  return out;
}

run_outcome no_shell(int err) {
  run_outcome out;
  out.what = run_outcome::kind::no_shell;
  out.detail = std::strerror(err);
  std::fprintf(stderr, "错误：无法启动 /bin/sh：%s\n", out.detail.c_str());
  return out;
}

// The shell with the command, in a process group of its own; out_fd, when given,
// takes its output and errors. -1 with *err set when it could not be started.
pid_t start_shell(const char *command, int out_fd, int *err) {
  std::string sh = "sh", dash_c = "-c", text = command;
  char *argv[] = {sh.data(), dash_c.data(), text.data(), nullptr};
  return spawn_in_group("/bin/sh", argv, err, out_fd);
}

} // namespace

std::unique_ptr<live_run> start_debug(const run_request &request, run_outcome &refused) {
  char command_buf[2048];
  const char *command = request.cmdline ? request.cmdline : "";
  bool fitted = true;
  if (request.log_enabled) {
    fitted = compose_command(command_buf, request.channel, request.env, request.cmdline,
                             request.captured());
    command = command_buf;
  }
  if (request.captured())
    std::printf("cmdline [%s]\n", command_buf);
  refused = admit(command, fitted);
  if (refused.what != run_outcome::kind::ran)
    return nullptr;

  std::unique_ptr<live_run> run(new live_run);
  run->captured_ = request.captured();
  int fds[2] = {-1, -1};
  if (run->captured_) {
    int threads = request.thread_num;
    if (threads < 0) {
      std::fprintf(stderr, "警告：MULTI_THREAD_NUM 为负数（%d），按 0 处理，直接写入日志\n",
                   threads);
      threads = 0;
    }
    // The first file is there from the start, with the system information, output or not.
    log_sink::open_files();
    run->queue_ = threads > 0 ? start_writers(threads) : nullptr;
    // The read end stays with this process alone; the write end goes to the shell.
    if (pipe2(fds, O_CLOEXEC) != 0) {
      const int err = errno;
      perror("popen:");
      log_queue_destroy(run->queue_);
      refused = no_shell(err);
      return nullptr;
    }
    run->pipe_size_ = enlarge_pipe(fds[0]);
  }
  int err = 0;
  run->pid_ = start_shell(command, fds[1], &err);
  if (fds[1] >= 0)
    close(fds[1]);
  if (run->pid_ < 0) {
    if (fds[0] >= 0)
      close(fds[0]);
    log_queue_destroy(run->queue_);
    refused = no_shell(err);
    return nullptr;
  }
  child_watch::watch(run->pid_, 0, [r = run.get()](int status, bool) { r->shell_ended(status); });
  if (run->captured_) {
    run->out_fd_ = fds[0];
    run->output_done_ = false;
    run->reader_ = std::thread(&live_run::read_output, run.get());
  }
  return run;
}

void live_run::read_output() {
  loop_stats stats;
  block_cutter cut(queue_ ? deliver_queued : deliver_direct, queue_, stats, &figures_);
  // Reads as large as what the pipe holds, so Wine never waits for room in it.
  std::vector<char> buf(static_cast<std::size_t>(std::max(pipe_size_, kSmallestPipe)));
  const bool gather = pipe_size_ >= kGatherPipe;
  bool last_was_short = false;
  for (;;) {
    if (gather && last_was_short) {
      const timespec pause{0, kGatherNanos};
      nanosleep(&pause, nullptr);
    }
    const ssize_t n = read(out_fd_, buf.data(), buf.size());
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    cut.arrive(buf.data(), static_cast<std::size_t>(n));
    last_was_short = static_cast<std::size_t>(n) < kGatherBytes;
  }
  cut.end();
  close(out_fd_);
  // This thread stored the last block: it is the one to drain the store.
  log_queue_destroy(queue_);
  std::fflush(stdout);
  g_idle_add(output_read, this);
}

int live_run::output_read(void *self) {
  auto *run = static_cast<live_run *>(self);
  run->output_done_ = true;
  run->finish_if_done();
  return G_SOURCE_REMOVE;
}

void live_run::shell_ended(int status) {
  outcome_.status = status;
  shell_done_ = true;
  finish_if_done();
}

// The one place where a run ends.
void live_run::finish_if_done() {
  if (ended_ || !shell_done_ || !output_done_)
    return;
  if (reader_.joinable())
    reader_.join();
  if (captured_) {
    // No thread is left that could enter log4c.
    if (mycat)
      log4c_category_delete(mycat);
    mycat = nullptr;
  }
  ended_ = true;
  if (done_) {
    auto done = std::move(done_);
    done();
  }
}

void live_run::on_end(std::function<void()> done) {
  if (ended_) {
    done();
    return;
  }
  done_ = std::move(done);
}

void live_run::stop() {
  if (ended_ || outcome_.stopped)
    return;
  outcome_.stopped = true;
  child_watch::stop_group(pid_, stop_grace_ms);
}

void live_run::wait() {
  while (!ended_)
    g_main_context_iteration(nullptr, TRUE);
}

live_run::~live_run() {
  if (pid_ > 0)
    wait();
}

run_outcome run_debug(bool log_enabled, bool has_log_file, const char *channel, const char *env,
                      const char *cmdline, int thread_num) {
  run_outcome refused;
  std::unique_ptr<live_run> run =
      start_debug({log_enabled, has_log_file, channel, env, cmdline, thread_num}, refused);
  if (!run)
    return refused;
  run->wait();
  return run->outcome();
}

run_outcome run_captured(const char *channel, const char *env, const char *cmdline,
                         int thread_num) {
  return run_debug(true, true, channel, env, cmdline, thread_num);
}

} // namespace capture

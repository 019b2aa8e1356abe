#include "debug/capture.hpp"

#include "log/log_queue.hpp"
#include "log/log_sink.hpp"
#include "util/bounded.hpp"
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
constexpr std::size_t kPipeBuffer = 64 * 1024;
// A program that prints line by line wakes a waiting reader for every line. After
// a read that brought less than kGatherBytes the reader sleeps kGatherNanos
// first, so output gathers in the pipe (made larger for it) and is read in few
// large reads; output that comes faster than it is read is never held up.
constexpr std::size_t kGatherBytes = 16 * 1024;
constexpr long kGatherNanos = 2 * 1000 * 1000;
constexpr int kPipeCapacity = 1024 * 1024;

// Reads up to `want` bytes to `at` and squeezes out NUL bytes. Returns the bytes
// kept; *raw gets the bytes read, which is 0 only at the end of the output.
std::size_t fill(std::FILE *in, char *at, std::size_t want, loop_stats &stats, std::size_t *raw) {
  const std::size_t n = std::fread(at, 1, want, in);
  stats.bytes += n;
  *raw = n;
  char *end = at + n;
  auto *nul = static_cast<char *>(std::memchr(at, '\0', n));
  if (!nul)
    return n;
  char *out = nul;
  for (const char *p = nul; p < end; ++p)
    if (*p)
      *out++ = *p;
  stats.nul_bytes += static_cast<std::size_t>(end - out);
  return static_cast<std::size_t>(out - at);
}

// The pieces of an over-long line follow each other as records of their own;
// a line break added to a piece would be a line the program never printed.
void deliver_direct(void *, const char *block, std::size_t, block_end) {
  log4c_category_log(mycat, LOG4C_PRIORITY_INFO, "%s", block);
}

void deliver_queued(void *queue, const char *block, std::size_t, block_end) {
  log_queue_push(static_cast<log_queue *>(queue), block);
}

struct gathering_pipe {
  int fd;
  bool last_was_short;
};

ssize_t gather_read(void *cookie, char *buf, std::size_t size) {
  auto *g = static_cast<gathering_pipe *>(cookie);
  if (g->last_was_short) {
    const timespec pause{0, kGatherNanos};
    nanosleep(&pause, nullptr);
  }
  ssize_t n;
  do
    n = read(g->fd, buf, size);
  while (n < 0 && errno == EINTR);
  g->last_was_short = n > 0 && static_cast<std::size_t>(n) < std::min(size, kGatherBytes);
  return n;
}

// The pipe's own end is closed by pclose, not here.
int gather_close(void *) { return 0; }

// Reads the pipe through a stream that gathers output; nullptr when no such
// stream can be made, and the pipe is then read as it is.
std::FILE *open_gathering(std::FILE *pipe, gathering_pipe &g) {
  g = {fileno(pipe), false};
  fcntl(g.fd, F_SETPIPE_SZ, kPipeCapacity); // best effort: a smaller pipe only gathers less
  return fopencookie(&g, "r", {gather_read, nullptr, nullptr, gather_close});
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

loop_stats read_blocks(std::FILE *in, block_fn fn, void *ctx) {
  loop_stats stats;
  char buf[read_size + 1] = {};
  std::size_t carry = 0;
  std::size_t raw = 0;
  std::size_t n = fill(in, buf, read_size, stats, &raw);
  std::printf("len: %d\n", static_cast<int>(raw));
  while (raw > 0) {
    n += carry;
    buf[n] = '\0';
    auto *brk = static_cast<char *>(memrchr(buf, '\n', n));
    if (brk) {
      *brk = '\0';
      const auto at = static_cast<std::size_t>(brk - buf);
      fn(ctx, buf, at, block_end::line_break);
      ++stats.blocks;
      carry = n - at - 1;
      std::memmove(buf, brk + 1, carry);
      n = fill(in, buf + carry, read_size - carry, stats, &raw);
    } else if (n == read_size) {
      std::printf("get max size buf, but do not found break, len %d\n", static_cast<int>(n));
      fn(ctx, buf, n, block_end::full_buffer);
      ++stats.blocks;
      carry = 0;
      n = fill(in, buf, read_size, stats, &raw);
    } else {
      std::printf("do not found break, len %d\n", static_cast<int>(n));
      carry = n;
      n = fill(in, buf + carry, read_size - carry, stats, &raw);
    }
  }
  // The output ended without a line break: its last line is still owed.
  if (carry > 0) {
    buf[carry] = '\0';
    fn(ctx, buf, carry, block_end::end_of_output);
    ++stats.blocks;
  }
  return stats;
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

} // namespace

run_outcome run_captured(const char *channel, const char *env, const char *cmdline,
                         int thread_num) {
  char command_buf[2048];
  const bool fitted = compose_command(command_buf, channel, env, cmdline, true);
  std::printf("cmdline [%s]\n", command_buf);
  run_outcome outcome = admit(command_buf, fitted);
  if (outcome.what != run_outcome::kind::ran)
    return outcome;

  if (thread_num < 0) {
    std::fprintf(stderr, "警告：MULTI_THREAD_NUM 为负数（%d），按 0 处理，直接写入日志\n",
                 thread_num);
    thread_num = 0;
  }
  log_queue *queue = thread_num > 0 ? start_writers(thread_num) : nullptr;

  shell_quote::flush_std_streams();
  std::FILE *pipe = popen(command_buf, "r");
  if (!pipe) {
    const int err = errno;
    perror("popen:");
    log_queue_destroy(queue);
    return no_shell(err);
  }
  gathering_pipe gather;
  std::FILE *gathered = open_gathering(pipe, gather);
  std::FILE *in = gathered ? gathered : pipe;
  // Reads stay 512 bytes; a larger stream buffer only means fewer trips to the pipe.
  std::setvbuf(in, nullptr, _IOFBF, kPipeBuffer);
  if (queue)
    read_blocks(in, deliver_queued, queue);
  else
    read_blocks(in, deliver_direct, nullptr);
  if (gathered)
    std::fclose(gathered);
  outcome.status = pclose(pipe);
  log_queue_destroy(queue);

  if (mycat)
    log4c_category_delete(mycat);
  mycat = nullptr;
  return outcome;
}

run_outcome run_debug(bool log_enabled, bool has_log_file, const char *channel, const char *env,
                      const char *cmdline, int thread_num) {
  if (log_enabled && has_log_file)
    return run_captured(channel, env, cmdline, thread_num);
  char command_buf[2048];
  const char *command = cmdline ? cmdline : "";
  bool fitted = true;
  if (log_enabled) {
    fitted = compose_command(command_buf, channel, env, cmdline, false);
    command = command_buf;
  }
  run_outcome outcome = admit(command, fitted);
  if (outcome.what != run_outcome::kind::ran)
    return outcome;
  shell_quote::flush_std_streams();
  outcome.status = std::system(command);
  if (outcome.status == -1)
    return no_shell(errno);
  return outcome;
}

} // namespace capture

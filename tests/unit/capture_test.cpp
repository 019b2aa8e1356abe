#include "debug/capture.hpp"
#include "debug/debug_run.hpp"
#include "log/log_queue.hpp"
#include "log/log_sink.hpp"
#include "memory_log.hpp"
#include "run_modes.hpp"
#include "test_support.hpp"

#include <glib.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using capture::block_end;
using namespace testsupport;

struct Block {
  std::string text;
  block_end how;
  bool operator==(const Block &) const = default;
};

void PrintTo(const Block &b, std::ostream *os) {
  const char *how = b.how == block_end::line_break    ? "line_break"
                    : b.how == block_end::full_buffer ? "full_buffer"
                                                      : "end_of_output";
  *os << how << "[" << b.text.size() << "]\"" << b.text.substr(0, 40) << "\"";
}

void collect(void *ctx, const char *block, std::size_t len, block_end how) {
  EXPECT_EQ(block[len], '\0') << "blocks are terminated";
  static_cast<std::vector<Block> *>(ctx)->push_back({std::string(block, len), how});
}

struct LoopRun {
  std::vector<Block> blocks;
  std::string out;
  capture::loop_stats stats;
  std::uint64_t lines = 0; // the run's figures
};

LoopRun run_loop(const std::string &input) {
  LoopRun r;
  // fmemopen cannot open an empty buffer for reading in every libc; use a pipe then.
  std::FILE *in = input.empty() ? std::fopen("/dev/null", "r")
                                : fmemopen(const_cast<char *>(input.data()), input.size(), "r");
  EXPECT_NE(in, nullptr);
  CaptureStdout();
  r.stats = capture::read_blocks(in, collect, &r.blocks);
  r.out = GetCapturedStdout();
  std::fclose(in);
  // The same input in one read, as the run reads what a full pipe holds: the same blocks.
  LoopRun whole;
  capture::progress figures;
  CaptureStdout();
  capture::block_cutter cut(collect, &whole.blocks, whole.stats, &figures);
  cut.arrive(input.data(), input.size());
  cut.end();
  EXPECT_EQ(GetCapturedStdout(), r.out);
  EXPECT_EQ(whole.blocks, r.blocks);
  EXPECT_EQ(figures.bytes.load(), input.size());
  r.lines = figures.lines.load();
  return r;
}

// What a log would hold if every block's own end were put back: a line break
// after a cut at a line break, nothing after a piece or the last block.
std::string rejoin(const std::vector<Block> &blocks) {
  std::string s;
  for (auto &b : blocks)
    s += b.text + (b.how == block_end::line_break ? "\n" : "");
  return s;
}

TEST(ReadLoop, Cases) {
  const std::string x511(511, 'x'), x512(512, 'x'), x1000(1000, 'x');
  std::string a300;
  for (int i = 0; i < 300; ++i)
    a300 += "a\n";
  struct Case {
    const char *name;
    std::string input;
    std::vector<Block> blocks;
    std::string out;
    std::uint64_t lines; // shown as logged
  } cases[] = {
      {"three one-letter lines", "a\nb\nc\n", {{"a\nb\nc", block_end::line_break}}, "len: 6\n", 3},
      {"no output", "", {}, "len: 0\n", 0},
      {"break as 512th byte", x511 + "\n", {{x511, block_end::line_break}}, "len: 512\n", 1},
      {"1000-character line",
       x1000 + "\n",
       {{x512, block_end::full_buffer}, {std::string(488, 'x'), block_end::line_break}},
       "len: 512\nget max size buf, but do not found break, len 512\n",
       1},
      {"exactly 512 without break",
       x512,
       {{x512, block_end::full_buffer}},
       "len: 512\nget max size buf, but do not found break, len 512\n",
       0},
      {"513 without break",
       x512 + "y",
       {{x512, block_end::full_buffer}, {"y", block_end::end_of_output}},
       "len: 512\nget max size buf, but do not found break, len 512\ndo not found break, len "
       "1\n",
       1},
      {"last line without break",
       "one\ntwo",
       {{"one", block_end::line_break}, {"two", block_end::end_of_output}},
       "len: 7\n",
       2},
      {"only a line break", "\n", {{"", block_end::line_break}}, "len: 1\n", 1},
      {"empty lines inside", "a\n\n\nb\n", {{"a\n\n\nb", block_end::line_break}}, "len: 6\n", 4},
      {"break at byte 0 of a full buffer",
       "\n" + x512,
       {{"", block_end::line_break}, {x512, block_end::full_buffer}},
       "len: 512\nget max size buf, but do not found break, len 512\n",
       1},
      {"NUL bytes are left out",
       std::string("ab\0c\n\0", 6),
       {{"abc", block_end::line_break}},
       "len: 6\n",
       1},
      // More than 512 bytes at once still makes records of at most 512 bytes of whole lines.
      {"600 bytes of short lines at once",
       a300,
       {{a300.substr(0, 511), block_end::line_break},
        {a300.substr(512, 87), block_end::line_break}},
       "len: 512\n",
       300},
  };
  for (auto &c : cases) {
    LoopRun r = run_loop(c.input);
    EXPECT_EQ(r.blocks, c.blocks) << c.name;
    EXPECT_EQ(r.out, c.out) << c.name;
    EXPECT_EQ(r.stats.blocks, c.blocks.size()) << c.name;
    EXPECT_EQ(r.stats.bytes, c.input.size()) << c.name;
    EXPECT_EQ(r.lines, c.lines) << c.name;
  }
}

// Random output with lines around the 512-byte edges: nothing lost, nothing
// added, every block within its size.
TEST(ReadLoop, RandomOutputComesThroughWhole) {
  std::mt19937 rng(7);
  const std::size_t lengths[] = {0, 1, 2, 100, 510, 511, 512, 513, 1023, 1024, 1025, 3000};
  for (int round = 0; round < 200; ++round) {
    std::string input;
    const int lines = static_cast<int>(rng() % 40);
    for (int i = 0; i < lines; ++i) {
      std::size_t len = rng() % 3 ? rng() % 120 : lengths[rng() % std::size(lengths)];
      for (std::size_t k = 0; k < len; ++k)
        input += static_cast<char>(rng() % 20 == 0 ? '\0' : 'A' + rng() % 58);
      if (i + 1 < lines || rng() % 2)
        input += '\n';
    }
    LoopRun r = run_loop(input);
    std::string without_nul;
    for (char ch : input)
      if (ch)
        without_nul += ch;
    ASSERT_EQ(rejoin(r.blocks), without_nul) << "round " << round;
    EXPECT_EQ(r.stats.nul_bytes, input.size() - without_nul.size());
    for (auto &b : r.blocks) {
      if (b.how == block_end::full_buffer) {
        EXPECT_EQ(b.text.size(), 512u);
        EXPECT_THAT(b.text, Not(HasSubstr("\n")));
      } else {
        EXPECT_LE(b.text.size(), 511u);
      }
    }
    if (!r.blocks.empty() && r.blocks.back().how == block_end::end_of_output) {
      EXPECT_NE(without_nul.back(), '\n');
    }
  }
}

// A pipe delivers output in pieces of any size; the blocks must not depend on it.
TEST(ReadLoop, PipeInSmallPieces) {
  std::string input;
  for (int i = 0; i < 300; ++i)
    input +=
        std::string(static_cast<std::size_t>(i * 7 % 700), static_cast<char>('a' + i % 26)) + "\n";
  input += "tail";
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::thread writer([&] {
    std::mt19937 rng(3);
    for (std::size_t at = 0; at < input.size();) {
      std::size_t n = std::min<std::size_t>(input.size() - at, 1 + rng() % 700);
      ASSERT_EQ(write(fds[1], input.data() + at, n), static_cast<ssize_t>(n));
      at += n;
    }
    close(fds[1]);
  });
  std::FILE *in = fdopen(fds[0], "r");
  std::vector<Block> blocks;
  CaptureStdout();
  capture::read_blocks(in, collect, &blocks);
  GetCapturedStdout();
  writer.join();
  std::fclose(in);
  EXPECT_EQ(rejoin(blocks), input);
  ASSERT_FALSE(blocks.empty());
  EXPECT_EQ(blocks.back(), (Block{"tail", block_end::end_of_output}));
}

// The pipe a captured run reads is made as large as the kernel lets the user make it (1 MiB at
// most), so that Wine can write on while a record is being written.
TEST(ReadLoop, PipeIsEnlargedAsFarAsTheUserMay) {
  long max = 0;
  std::FILE *f = std::fopen("/proc/sys/fs/pipe-max-size", "r");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fscanf(f, "%ld", &max), 1);
  std::fclose(f);
  const int want = static_cast<int>(std::min<long>(max, 1 << 20));
  for (bool unprivileged : {false, true}) {
    ProcResult r = run_in_child(
        [&] {
          int fds[2];
          if (pipe(fds) != 0)
            return 2;
          return capture::enlarge_pipe(fds[0]) == want ? 0 : 1;
        },
        unprivileged);
    if (r.status == kNoUnprivilegedUser)
      continue;
    EXPECT_EQ(r.status, 0) << (unprivileged ? "as another user" : "as this user");
  }
}

TEST(DebugCommand, Compose) {
  char buf[2048];
  struct {
    const char *channel, *env, *cmdline;
    bool merge;
    const char *expected;
  } cases[] = {
      {"+relay", "A=1 B=2", "wine app.exe", true, "WINEDEBUG=+relay A=1 B=2 wine app.exe 2>&1"},
      {"", "", "wine app.exe", true, "WINEDEBUG=  wine app.exe 2>&1"},
      {"+seh", "", "x", false, "WINEDEBUG=+seh  x"},
      // A line of more than one simple command gets the channel and the assignments
      // exported, and the redirection covers the whole group.
      {"+seh", "A=1", "echo one >&2; printenv WINEDEBUG", true,
       "set -a; WINEDEBUG=+seh A=1; set +a; { echo one >&2; printenv WINEDEBUG\n} 2>&1"},
      {"", "", "cd /tmp && wine x # note", false,
       "set -a; WINEDEBUG= ; set +a; { cd /tmp && wine x # note\n}"},
  };
  for (auto &c : cases) {
    EXPECT_TRUE(capture::compose_command(buf, c.channel, c.env, c.cmdline, c.merge));
    EXPECT_STREQ(buf, c.expected);
  }
  // A long command is cut at 2046 bytes, and with it the redirection.
  std::string longcmd(2100, 'c');
  EXPECT_FALSE(capture::compose_command(buf, "", "", longcmd.c_str(), true));
  EXPECT_EQ(std::string(buf).size(), 2046u);
  EXPECT_THAT(std::string(buf), Not(HasSubstr("2>&1")));
}

TEST(DebugCommand, SimpleCommandIsOneCommandWithNothingAround) {
  struct {
    const char *text;
    bool simple;
  } cases[] = {
      {"WINEDEBUG=+seh A=1  '/opt/my wine/wine' \"C:\\a b.exe\" -x 'it'\\''s' a\\;b", true},
      {"WINEDEBUG= A=\"x y\" wine \"$HOME\" ${X} \"a)b\" 'a|b'", true},
      {"WINEDEBUG=  ", true},
      {"WINEDEBUG= echo a; echo b", false},
      {"WINEDEBUG= cd d && wine x", false},
      {"WINEDEBUG= wine x | tee y", false},
      {"WINEDEBUG= wine x >out", false},
      {"WINEDEBUG= wine x # comment", false},
      {"WINEDEBUG= wine $(cat f)", false},
      {"WINEDEBUG= wine \"`cat f`\"", false},
      {"WINEDEBUG= A=1 for i in 1; do wine; done", false},
      {"WINEDEBUG= { wine; }", false},
      {"WINEDEBUG= ! wine", false},
      {"WINEDEBUG= wine 'unterminated", false},
      {"WINEDEBUG= wine \\", false},
      {"WINEDEBUG= wine x &", false},
      {"WINEDEBUG= wine\nwine", false},
      {"WINEDEBUG=+seh . ./start.sh", false},
      {"WINEDEBUG=+seh A=1 eval wine x", false},
      {"WINEDEBUG=+seh exec wine ./eval", true},
  };
  for (auto &c : cases)
    EXPECT_EQ(capture::is_simple_command(c.text), c.simple) << c.text;
}

class DebugRun : public testing::Test {
protected:
  TempDir tmp;
  ScopedEnv no_winedebug{"WINEDEBUG", std::nullopt};
  ScopedEnv no_extra{"NIVRA_TEST_EXTRA", std::nullopt};
  // A command that records what it saw and prints on both streams, then once more.
  std::string probe() {
    return "sh -c 'echo \"[$WINEDEBUG][${NIVRA_TEST_EXTRA-unset}]\" > " + tmp / "seen" +
           "; echo out; echo err >&2; sleep 0.05; printf tail'";
  }
};

TEST_F(DebugRun, Modes) {
  for (const RunMode &mode : kRunModes) {
    for (int threads : {0, 1, 3}) {
      SCOPED_TRACE(std::string(mode.name) + ", " + std::to_string(threads) + " writers");
      testlog::MemoryLog log;
      CaptureStdout();
      CaptureStderr();
      capture::run_debug(mode.logging, mode.file, "+relay", "NIVRA_TEST_EXTRA=1", probe().c_str(),
                         threads);
      std::string out = GetCapturedStdout();
      std::string err = GetCapturedStderr();
      EXPECT_EQ(read_file(tmp / "seen"), mode.logging ? "[+relay][1]\n" : "[][unset]\n");
      if (!mode.captured()) {
        EXPECT_EQ(out, "out\ntail") << "nothing of the run's own, no queue";
        EXPECT_EQ(err, "err\n") << "standard error stays separate";
        EXPECT_THAT(log.messages(), IsEmpty());
        EXPECT_NE(mycat, nullptr) << "only a captured run deletes the category";
        continue;
      }
      EXPECT_THAT(
          out, HasSubstr("cmdline [WINEDEBUG=+relay NIVRA_TEST_EXTRA=1 " + probe() + " 2>&1]\n"));
      // Lines that arrive together share a record; "out" and "err" may come apart.
      std::string logged;
      for (const std::string &m : log.messages())
        logged += (logged.empty() ? "" : "\n") + m;
      EXPECT_EQ(logged, "out\nerr\ntail");
      EXPECT_EQ(log.messages().back(), "tail");
      EXPECT_EQ(mycat, nullptr);
      EXPECT_EQ(Value(out, HasSubstr("queue create success")), threads > 0) << out;
    }
  }
}

// "停止": the program's process group gets SIGTERM, and SIGKILL 3 s later if anything of it is
// left; what it printed before is in the log, in order, and the run then ends as runs end.
TEST_F(DebugRun, StopEndsTheProgramWithEverythingItPrintedLogged) {
  const struct {
    const char *name;
    const char *before; // shell text in front of the program
    int signal;         // that ended the shell
  } rows[] = {{"a program that ends on SIGTERM", "", SIGTERM},
              {"a program that ignores SIGTERM is killed after 3 s", "trap '' TERM; ", SIGKILL}};
  for (const auto &row : rows) {
    for (int threads : {0, 2}) {
      SCOPED_TRACE(std::string(row.name) + ", " + std::to_string(threads) + " writers");
      const std::string printed = tmp / "printed";
      std::remove(printed.c_str());
      const std::string command = std::string(row.before) +
                                  "i=0; while :; do i=$((i+1)); echo \"line $i\"; echo \"line $i\""
                                  " >> '" +
                                  printed + "'; sleep 0.05; done";
      testlog::MemoryLog log;
      CaptureStdout();
      CaptureStderr();
      capture::run_outcome refused;
      auto run = capture::start_debug({true, true, "", "", command.c_str(), threads}, refused);
      ASSERT_NE(run, nullptr);
      const gint64 give_up = g_get_monotonic_time() + 20 * G_USEC_PER_SEC;
      while (run->figures().lines.load() < 5 && g_get_monotonic_time() < give_up)
        g_main_context_iteration(nullptr, FALSE), g_usleep(10000);
      EXPECT_FALSE(run->ended());
      const gint64 stopped = g_get_monotonic_time();
      run->stop();
      run->wait();
      const double took = double(g_get_monotonic_time() - stopped) / G_USEC_PER_SEC;
      GetCapturedStdout();
      GetCapturedStderr();
      EXPECT_TRUE(run->outcome().stopped);
      EXPECT_TRUE(WIFSIGNALED(run->outcome().status) &&
                  WTERMSIG(run->outcome().status) == row.signal)
          << run->outcome().status;
      EXPECT_LT(took, row.signal == SIGKILL ? 5.0 : 2.0);
      if (row.signal == SIGKILL) {
        EXPECT_GE(took, 2.9);
      }
      EXPECT_EQ(mycat, nullptr);
      std::string logged;
      for (const std::string &m : log.messages())
        logged += m + "\n";
      const std::string before = read_file(printed);
      EXPECT_THAT(logged, StartsWith(before));
      EXPECT_LE(std::count(logged.begin(), logged.end(), '\n'),
                std::count(before.begin(), before.end(), '\n') + 1);
    }
  }
}

TEST_F(DebugRun, NegativeThreadCountLogsDirectly) {
  testlog::MemoryLog log;
  CaptureStdout();
  CaptureStderr();
  std::string long_line(600, 'L');
  capture::run_captured("", "", ("printf '" + long_line + "\\n'").c_str(), -2);
  std::string out = GetCapturedStdout();
  std::string err = GetCapturedStderr();
  EXPECT_THAT(err, HasSubstr("警告："));
  EXPECT_THAT(out, Not(HasSubstr("queue")));
  // An over-long line's pieces follow each other; no line break is added to any.
  EXPECT_THAT(log.messages(), ElementsAre(std::string(512, 'L'), std::string(88, 'L')));
}

struct ScopedStarter {
  explicit ScopedStarter(capture::thread_start_fn fn) { capture::start_thread = fn; }
  ~ScopedStarter() { capture::start_thread = pthread_create; }
};

int fail_odd_starts(pthread_t *t, const pthread_attr_t *a, void *(*fn)(void *), void *arg) {
  if (static_cast<writer_arg *>(arg)->thread_id % 2)
    return EAGAIN;
  return pthread_create(t, a, fn, arg);
}

int fail_all_starts(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *) {
  return EAGAIN;
}

TEST_F(DebugRun, WritersThatCannotStartAreNotCounted) {
  ScopedStarter starter(fail_odd_starts);
  testlog::MemoryLog log;
  CaptureStdout();
  CaptureStderr();
  capture::run_captured("", "", "seq 1 3000", 4);
  std::string out = GetCapturedStdout();
  std::string err = GetCapturedStderr();
  // Starting stops at the first failure: the next would fail the same way.
  EXPECT_THAT(err, HasSubstr("错误：3 个日志写入线程无法启动"));
  EXPECT_THAT(err, HasSubstr("output log thread start, id 0\n"));
  EXPECT_THAT(err, Not(HasSubstr("output log thread start, id 2\n")));
  EXPECT_THAT(err, Not(HasSubstr("output log thread start, id 1\n")));
  std::string joined;
  for (auto &m : log.messages())
    joined += m + "\n";
  std::string expected;
  for (int i = 1; i <= 3000; ++i)
    expected += std::to_string(i) + "\n";
  EXPECT_EQ(joined, expected);
}

TEST_F(DebugRun, NoWriterStartedFallsBackToDirectLogging) {
  ScopedStarter starter(fail_all_starts);
  testlog::MemoryLog log;
  CaptureStdout();
  CaptureStderr();
  capture::run_captured("", "", ("printf '" + std::string(520, 'z') + "'").c_str(), 3);
  GetCapturedStdout();
  std::string err = GetCapturedStderr();
  EXPECT_THAT(err, HasSubstr("错误：3 个日志写入线程无法启动"));
  EXPECT_THAT(err, HasSubstr("警告："));
  EXPECT_THAT(log.messages(), ElementsAre(std::string(512, 'z'), std::string(8, 'z')));
}

[[noreturn]] void run_without_descriptors() {
  testlog::MemoryLog log;
  rlimit lim{16, 16};
  setrlimit(RLIMIT_NOFILE, &lim);
  while (std::fopen("/dev/null", "r"))
    ;
  capture::run_captured("", "", "echo never", 2);
  std::fflush(stdout);
  std::_Exit(mycat != nullptr && log.messages().empty() ? 0 : 1);
}

// popen fails when no descriptor is left: the writers are still ended and the
// category stays for a later run. No fixture: the exit test runs it again in a
// child that never cleans up.
TEST(DebugRunPipe, PipeFailureStopsWritersAndKeepsCategory) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(run_without_descriptors(), testing::ExitedWithCode(0), "popen:: Too many open files");
}

TEST(ProcessDebugLog, MissingEntriesStopTheProgram) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(process_debug_log(), "main:[0-9]+: process_debug_log: Assertion "
                                    "`log_channel_entry && env_entry && cmdline_entry' failed");
}

} // namespace

#include "log/log_queue.hpp"
#include "log/log_sink.hpp"
#include "memory_log.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace testsupport;

// Starts n writers the way a captured run does: counted, then released together.
void start_writers(log_queue *q, int n, bool release = true) {
  for (int j = 0; j < n; ++j) {
    pthread_t t;
    ASSERT_EQ(pthread_create(&t, nullptr, output_log_thread, new writer_arg{q, j}), 0);
    pthread_detach(t);
    log_queue_add_writer(q);
  }
  if (release)
    q->started.store(1);
}

std::string numbered_block(int i, std::size_t len) {
  std::string s = std::to_string(i) + ":";
  while (s.size() < len)
    s += static_cast<char>('a' + (s.size() + i) % 26);
  s.resize(len);
  return s;
}

std::vector<std::string> lines_without(const std::string &text, const std::string &drop_prefix) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (line.rfind(drop_prefix, 0) != 0)
      out.push_back(line);
  return out;
}

int capacity_of(log_queue *q) {
  pthread_mutex_lock(&q->mutex);
  int c = q->capacity;
  pthread_mutex_unlock(&q->mutex);
  return c;
}

TEST(LogQueue, CreateSizes) {
  struct {
    int asked;
    int made;
  } cases[] = {{0, 10}, {-3, 10}, {10, 10}, {1, 1}, {25, 25}, {1000, 512}};
  for (auto c : cases) {
    CaptureStdout();
    log_queue *q = log_queue_create(c.asked);
    std::string out = GetCapturedStdout();
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(q->capacity, c.made) << c.asked;
    EXPECT_EQ(q->max_capacity, 512);
    EXPECT_EQ(q->item_size, 513u) << "a 512-byte block needs room for its terminator";
    EXPECT_EQ(q->count.load(), 0);
    EXPECT_EQ(out, "queue create success size " + std::to_string(c.made) + "\n");
    log_queue_destroy(q);
  }
}

// With nobody taking blocks the store grows step by step to 480; destroy then
// writes what no writer took, oldest first.
TEST(LogQueue, GrowthStepsAndMessages) {
  testlog::MemoryLog log;
  CaptureStdout();
  log_queue *q = log_queue_create(10);
  for (int i = 0; i < 480; ++i)
    log_queue_push(q, numbered_block(i, 20).c_str());
  EXPECT_EQ(q->capacity, 480);
  log_queue_resize(q, 530); // beyond the bound: nothing happens
  log_queue_resize(q, 480); // no change: nothing happens
  EXPECT_EQ(q->capacity, 480);
  log_queue_destroy(q);
  std::string expected = "queue create success size 10\n";
  for (int size : {20, 40, 80, 130, 180, 230, 280, 330, 380, 430, 480})
    expected += "queue resize success size " + std::to_string(size) + "\n";
  EXPECT_EQ(GetCapturedStdout(), expected);
  auto got = log.messages();
  ASSERT_EQ(got.size(), 480u);
  for (int i = 0; i < 480; ++i)
    ASSERT_EQ(got[i], numbered_block(i, 20)) << i;
}

// Growing while the ring has wrapped must keep the oldest block first.
TEST(LogQueue, GrowthOfAWrappedRingKeepsOrder) {
  testlog::MemoryLog log;
  CaptureStdout();
  log_queue *q = log_queue_create(10);
  for (int i = 0; i < 10; ++i)
    log_queue_push(q, numbered_block(i, 8).c_str());
  // What a writer does when it takes three blocks.
  pthread_mutex_lock(&q->mutex);
  q->head = 3;
  q->count.store(7);
  pthread_mutex_unlock(&q->mutex);
  for (int i = 10; i < 20; ++i)
    log_queue_push(q, numbered_block(i, 8).c_str());
  EXPECT_EQ(q->capacity, 20);
  log_queue_destroy(q);
  GetCapturedStdout();
  auto got = log.messages();
  ASSERT_EQ(got.size(), 17u);
  for (int i = 3; i < 20; ++i)
    EXPECT_EQ(got[i - 3], numbered_block(i, 8));
}

TEST(LogQueue, BlocksUpTo512BytesAreKeptWhole) {
  testlog::MemoryLog log;
  CaptureStdout();
  log_queue *q = log_queue_create(10);
  start_writers(q, 2);
  const std::string full(512, 'x');
  log_queue_push(q, full.c_str());
  log_queue_push(q, (std::string(512, 'y') + "overflow").c_str());
  log_queue_push(q, "");
  log_queue_push(q, nullptr);
  log_queue_destroy(q);
  GetCapturedStdout();
  auto got = log.messages();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0], full);
  EXPECT_EQ(got[1], std::string(512, 'y'));
  EXPECT_EQ(got[2], "");
}

TEST(LogQueue, ProducerWaitsAt480WithOneSlowWriter) {
  testlog::MemoryLog log(50);
  CaptureStdout();
  CaptureStderr();
  log_queue *q = log_queue_create(10);
  start_writers(q, 1, /*release=*/false); // the writer cannot take anything yet
  std::atomic<int> pushed{0};
  constexpr int total = 1500;
  std::thread producer([&] {
    for (int i = 0; i < total; ++i) {
      log_queue_push(q, numbered_block(i, 40).c_str());
      pushed.store(i + 1);
    }
  });
  while (pushed.load() < 480)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(pushed.load(), 480) << "the 481st block must wait for room";
  EXPECT_EQ(capacity_of(q), 480);
  q->started.store(1);
  producer.join();
  log_queue_destroy(q);
  std::string out = GetCapturedStdout();
  GetCapturedStderr();
  EXPECT_THAT(out, Not(HasSubstr("queue resize success size 530")));
  EXPECT_THAT(out, HasSubstr("queue resize success size 480\n"));
  auto got = log.messages();
  ASSERT_EQ(got.size(), static_cast<std::size_t>(total));
  for (int i = 0; i < total; ++i)
    ASSERT_EQ(got[i], numbered_block(i, 40)) << i;
  EXPECT_FALSE(log.overlapped());
}

// Writers gather blocks into batches, but a run that prints a line now and then
// must not keep it out of the log until a batch is full or the run ends.
TEST(LogQueue, AFewBlocksReachTheLogWhileTheRunGoesOn) {
  testlog::MemoryLog log;
  CaptureStdout();
  CaptureStderr();
  log_queue *q = log_queue_create(10);
  start_writers(q, 2);
  std::vector<std::string> sent;
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 3; ++i) {
      sent.push_back(numbered_block(round * 3 + i, 12));
      log_queue_push(q, sent.back().c_str());
    }
    EXPECT_TRUE(eventually([&] { return log.messages() == sent; }, 10)) << round;
  }
  log_queue_destroy(q);
  GetCapturedStdout();
  GetCapturedStderr();
  EXPECT_EQ(log.messages(), sent);
}

TEST(LogQueue, PushWithoutQueueLogsDirectly) {
  {
    testlog::MemoryLog log;
    log_queue_push(nullptr, "abc");
    log_queue_push(nullptr, nullptr);
    EXPECT_THAT(log.messages(), ElementsAre("abc\n"));
  }
  ASSERT_EQ(mycat, nullptr);
  log_queue_push(nullptr, "nowhere"); // no category: nothing, no crash
  log_queue_destroy(nullptr);
}

TEST(LogQueue, WritersWithoutCategoryPrintToStderr) {
  ASSERT_EQ(mycat, nullptr);
  CaptureStdout();
  CaptureStderr();
  log_queue *q = log_queue_create(10);
  start_writers(q, 2);
  std::vector<std::string> blocks;
  for (int i = 0; i < 50; ++i)
    blocks.push_back(numbered_block(i, 30));
  for (auto &b : blocks)
    log_queue_push(q, b.c_str());
  log_queue_destroy(q);
  std::string out = GetCapturedStdout();
  std::string err = GetCapturedStderr();
  EXPECT_EQ(lines_without(err, "output log thread start, id "), blocks);
  EXPECT_THAT(err, HasSubstr("output log thread start, id 0\n"));
  EXPECT_THAT(err, HasSubstr("output log thread start, id 1\n"));
}

TEST(LogQueue, DestroyEndsIdleWriters) {
  CaptureStdout();
  CaptureStderr();
  log_queue *q = log_queue_create(10);
  start_writers(q, 3);
  log_queue_destroy(q);
  std::string out = GetCapturedStdout();
  std::string err = GetCapturedStderr();
  EXPECT_THAT(out, HasSubstr("queue threads count 3\n"));
  for (int id = 0; id < 3; ++id) {
    std::string exit_line =
        "output log thread exit, current item count 0, thread id " + std::to_string(id) + "\n";
    EXPECT_THAT(out, HasSubstr(exit_line));
  }
}

// More writers than the store has slots: every wake-up must reach the kind of
// waiter it is meant for, or the run never ends.
TEST(LogQueue, MoreWritersThanSlots) {
  testlog::MemoryLog log;
  CaptureStdout();
  CaptureStderr();
  log_queue *q = log_queue_create(10);
  start_writers(q, 500);
  for (int i = 0; i < 3000; ++i)
    log_queue_push(q, numbered_block(i, 16).c_str());
  log_queue_destroy(q);
  GetCapturedStdout();
  GetCapturedStderr();
  auto got = log.messages();
  ASSERT_EQ(got.size(), 3000u);
  for (int i = 0; i < 3000; ++i)
    ASSERT_EQ(got[i], numbered_block(i, 16)) << i;
  EXPECT_FALSE(log.overlapped());
}

// One producer, many writers, many runs: every block once, in order, and log4c
// never entered by two writers at once.
TEST(LogQueue, Stress) {
  std::mt19937 rng(20240517);
  for (int run = 0; run < 40; ++run) {
    testlog::MemoryLog log(run % 5 == 0 ? 20 : 0);
    const int writers = 1 + static_cast<int>(rng() % 64);
    const int blocks = static_cast<int>(rng() % 2500);
    std::vector<std::string> sent;
    for (int i = 0; i < blocks; ++i)
      sent.push_back(numbered_block(i, 1 + rng() % 512));
    CaptureStdout();
    CaptureStderr();
    log_queue *q = log_queue_create(10);
    start_writers(q, writers);
    for (auto &b : sent)
      log_queue_push(q, b.c_str());
    log_queue_destroy(q);
    GetCapturedStdout();
    GetCapturedStderr();
    ASSERT_EQ(log.messages(), sent) << "run " << run << " with " << writers << " writers";
    ASSERT_FALSE(log.overlapped());
  }
}

} // namespace

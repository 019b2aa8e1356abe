#include "log/log_queue.hpp"

#include "log/log_sink.hpp"
#include "util/own.hpp"

#include <dirent.h>
#include <sys/resource.h>

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

constexpr int kDefaultSize = 10;
constexpr int kMaxCapacity = 512;
constexpr int kMaxGrowth = 50;
constexpr useconds_t kPollMicros = 1000;
// Blocks a writer writes before it frees their slots for the producer.
constexpr int kWriteChunk = 64;

class lock_guard {
public:
  explicit lock_guard(pthread_mutex_t *m) : m_(m) { pthread_mutex_lock(m_); }
  ~lock_guard() { pthread_mutex_unlock(m_); }
  lock_guard(const lock_guard &) = delete;
  lock_guard &operator=(const lock_guard &) = delete;

private:
  pthread_mutex_t *m_;
};

void write_block(const char *block) {
  if (mycat)
    log4c_category_log(mycat, LOG4C_PRIORITY_INFO, "%s", block);
  else
    std::fprintf(stderr, "%s\n", block);
}

// Lock held, n <= count. Frees the slots of the n oldest blocks, which are written.
void release_oldest(log_queue *q, int n) {
  q->head = (q->head + n) % q->capacity;
  const int left = q->count.fetch_sub(n, std::memory_order_relaxed) - n;
  // Wake a waiting producer only once half the store is free, not once per block.
  if (q->producer_waiting && left <= q->capacity / 2) {
    q->producer_waiting = false;
    pthread_cond_signal(&q->room);
  }
}

timespec deadline_after_ms(int ms) {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  t.tv_nsec += static_cast<long>(ms) * 1000000L;
  t.tv_sec += t.tv_nsec / 1000000000L;
  t.tv_nsec %= 1000000000L;
  return t;
}

// Lock held. Waits until count reaches want, the run ends, or the deadline (if
// any) passes.
void wait_for_blocks(log_queue *q, int want, const timespec *deadline) {
  q->wake_at = want;
  while (q->count.load(std::memory_order_relaxed) < want && !q->done.load()) {
    q->writer_waiting = true;
    const int rc = deadline ? pthread_cond_timedwait(&q->blocks, &q->mutex, deadline)
                            : pthread_cond_wait(&q->blocks, &q->mutex);
    q->writer_waiting = false;
    if (rc == ETIMEDOUT)
      return;
  }
}

} // namespace

log_queue *log_queue_create(int size) {
  auto *q = new (std::nothrow) log_queue{};
  if (!q)
    return nullptr;
  if (size <= 0)
    size = kDefaultSize;
  size = std::min(size, kMaxCapacity);
  q->items = static_cast<char **>(std::calloc(static_cast<std::size_t>(size), sizeof(char *)));
  if (!q->items) {
    delete q;
    return nullptr;
  }
  q->item_size = log_queue_item_size;
  int made = 0;
  while (made < size && (q->items[made] = static_cast<char *>(std::malloc(q->item_size))))
    ++made;
  if (made == 0) {
    // A store without slots could never take a block.
    std::free(q->items);
    delete q;
    return nullptr;
  }
  q->capacity = made;
  q->max_capacity = kMaxCapacity;
  pthread_mutex_init(&q->mutex, nullptr);
  pthread_mutex_init(&q->write_turn, nullptr);
  pthread_cond_init(&q->room, nullptr);
  pthread_condattr_t monotonic;
  pthread_condattr_init(&monotonic);
  pthread_condattr_setclock(&monotonic, CLOCK_MONOTONIC);
  pthread_cond_init(&q->blocks, &monotonic);
  pthread_condattr_destroy(&monotonic);
  pthread_cond_init(&q->ended, nullptr);
  std::printf("queue create success size %d\n", q->capacity);
  return q;
}

void log_queue_resize(log_queue *q, std::uint64_t size) {
  const auto old_capacity = static_cast<std::uint64_t>(q->capacity);
  if (size > static_cast<std::uint64_t>(q->max_capacity) || size <= old_capacity)
    return;
  auto *table = static_cast<char **>(std::realloc(q->items, size * sizeof(char *)));
  if (!table)
    return;
  q->items = table;
  // New slots go at the end of the table, so the ring must start at slot 0 first.
  std::rotate(table, table + q->head, table + old_capacity);
  q->head = 0;
  std::uint64_t made = old_capacity;
  while (made < size && (table[made] = static_cast<char *>(std::malloc(q->item_size))))
    ++made;
  if (made == old_capacity)
    return;
  q->capacity = static_cast<int>(made);
  std::printf("queue resize success size %d\n", q->capacity);
}

void log_queue_push(log_queue *q, const char *block) {
  if (!q) {
    if (block)
      log4c_category_log(mycat, LOG4C_PRIORITY_INFO, "%s\n", block);
    return;
  }
  if (!block)
    return;
  lock_guard lock(&q->mutex);
  while (q->count.load(std::memory_order_relaxed) == q->capacity) {
    log_queue_resize(q,
                     static_cast<std::uint64_t>(q->capacity + std::min(kMaxGrowth, q->capacity)));
    if (q->count.load(std::memory_order_relaxed) == q->capacity) {
      // A store that cannot grow may be smaller than a batch: the writer must not
      // sit out its delay while the producer waits for room.
      if (q->writer_waiting) {
        q->writer_waiting = false;
        pthread_cond_signal(&q->blocks);
      }
      q->producer_waiting = true;
      pthread_cond_wait(&q->room, &q->mutex);
      q->producer_waiting = false;
    }
  }
  int count = q->count.load(std::memory_order_relaxed);
  char *slot = q->items[(q->head + count) % q->capacity];
  std::size_t len = strnlen(block, q->item_size - 1);
  std::memcpy(slot, block, len);
  slot[len] = '\0';
  q->count.store(count + 1, std::memory_order_relaxed);
  if (q->writer_waiting && count + 1 >= q->wake_at) {
    q->writer_waiting = false;
    pthread_cond_signal(&q->blocks);
  }
}

void log_queue_add_writer(log_queue *q) {
  lock_guard lock(&q->mutex);
  ++q->threads;
}

void *output_log_thread(void *arg) {
  auto *warg = static_cast<writer_arg *>(arg);
  if (!warg)
    return nullptr;
  log_queue *q = warg->queue;
  const int id = warg->thread_id;
  while (!q->started.load())
    usleep(kPollMicros);
  std::fprintf(stderr, "output log thread start, id %d\n", id);

  // Only the writer holding the turn takes blocks, oldest first, so they reach the
  // log in the order they were stored; the other writers wait for the turn. An idle
  // writer wakes at the first block; after writing it lets a batch gather for a
  // while, so a busy run wakes it once per batch. A batch is written from its slots
  // with the lock let go: they stay counted until written, so the producer leaves
  // them alone, and growing the store moves slot pointers, not the text.
  const char *batch[kWriteChunk];
  int left = 0;
  bool gathering = false;
  pthread_mutex_lock(&q->write_turn);
  pthread_mutex_lock(&q->mutex);
  for (;;) {
    if (gathering) {
      const timespec deadline = deadline_after_ms(log_queue_batch_delay_ms);
      wait_for_blocks(q, log_queue_batch, &deadline);
    } else {
      wait_for_blocks(q, 1, nullptr);
    }
    left = q->count.load(std::memory_order_relaxed);
    if (left == 0 && q->done.load())
      break;
    gathering = left > 0;
    while (q->count.load(std::memory_order_relaxed) > 0) {
      const int n = std::min(q->count.load(std::memory_order_relaxed), kWriteChunk);
      for (int i = 0; i < n; ++i)
        batch[i] = q->items[(q->head + i) % q->capacity];
      pthread_mutex_unlock(&q->mutex);
      for (int i = 0; i < n; ++i)
        write_block(batch[i]);
      pthread_mutex_lock(&q->mutex);
      release_oldest(q, n);
    }
  }
  pthread_mutex_unlock(&q->mutex);
  pthread_mutex_unlock(&q->write_turn);

  std::printf("output log thread exit, current item count %d, thread id %d\n", left, id);
  delete warg;

  // After this unlock the destroyer may release the queue: touch nothing more.
  pthread_mutex_lock(&q->mutex);
  --q->threads;
  pthread_cond_signal(&q->ended);
  pthread_mutex_unlock(&q->mutex);
  return nullptr;
}

long log_user_tasks(uid_t uid) {
  own::dir proc(opendir("/proc"));
  if (!proc)
    return -1;
  long tasks = 0;
  while (const dirent *e = readdir(proc.get())) {
    if (e->d_name[0] < '1' || e->d_name[0] > '9')
      continue;
    own::file status(std::fopen((std::string("/proc/") + e->d_name + "/status").c_str(), "re"));
    if (!status)
      continue;
    char line[256];
    long real_uid = -1, threads = 0;
    while (std::fgets(line, sizeof(line), status.get())) {
      if (std::sscanf(line, "Uid: %ld", &real_uid) == 1)
        continue;
      if (std::sscanf(line, "Threads: %ld", &threads) == 1)
        break;
    }
    if (real_uid == static_cast<long>(uid))
      tasks += threads;
  }
  return tasks;
}

int log_writers_for_machine() {
  const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  const long by_cpus = 4 * (cpus > 0 ? cpus : 1);
  return static_cast<int>(std::clamp<long>(by_cpus, 4, kMaxCapacity));
}

int log_writers_allowed(int wanted) {
  if (wanted <= 0)
    return wanted;
  int allowed = std::min(wanted, log_writers_for_machine());
  // Under a process limit, writers take at most half of the room left: the program being
  // debugged, and the shell that starts it, need the rest. Root is not held to the limit.
  rlimit limit{};
  if (geteuid() != 0 && getrlimit(RLIMIT_NPROC, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    const long used = log_user_tasks(getuid());
    if (used >= 0) {
      const long room = static_cast<long>(limit.rlim_cur) - used;
      allowed = static_cast<int>(std::clamp<long>(room / 2, 0, allowed));
    }
  }
  if (allowed < wanted)
    std::fprintf(stderr,
                 "警告：MULTI_THREAD_NUM 为 %d，本机此时最多用 %d 个日志写入线程，按 %d 处理\n",
                 wanted, allowed, allowed);
  return allowed;
}

void log_queue_destroy(log_queue *q) {
  if (!q)
    return;
  {
    lock_guard lock(&q->mutex);
    // Writers leave only once they find the store empty after `done`, so
    // setting it now still lets them write everything that is stored.
    q->done.store(1);
    q->started.store(1);
    while (q->threads != 0) {
      std::printf("queue threads count %d\n", q->threads);
      pthread_cond_broadcast(&q->blocks);
      pthread_cond_wait(&q->ended, &q->mutex);
    }
    // Only when no writer ever ran: what is stored is still owed to the log.
    while (q->count.load(std::memory_order_relaxed) > 0) {
      write_block(q->items[q->head]);
      release_oldest(q, 1);
    }
  }
  for (int i = 0; i < q->capacity; ++i)
    std::free(q->items[i]);
  std::free(q->items);
  pthread_cond_destroy(&q->ended);
  pthread_cond_destroy(&q->blocks);
  pthread_cond_destroy(&q->room);
  pthread_mutex_destroy(&q->write_turn);
  pthread_mutex_destroy(&q->mutex);
  delete q;
}

#pragma once
// The store between a captured run (its only producer) and the writer threads.
// When full it grows 10, 20, 40, 80, 130, ... up to 480 slots; at 480 the
// producer blocks until writers have made room. Blocks are written in the order
// they were pushed: one writer at a time holds the write turn, takes the oldest
// block and writes it before it lets the turn go, so log4c is never entered twice
// at once. Blocks are handed over in batches: a busy writer is woken once per
// batch, and a block waits at most log_queue_batch_delay_ms before its writer
// looks again. log_queue_destroy (producer thread, after the last push) returns
// only when every stored block is written and every writer has ended.
#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>

struct log_queue {
  pthread_mutex_t mutex;      // guards every field below and the slots
  pthread_mutex_t write_turn; // held by the one writer that takes and writes blocks
  pthread_cond_t room;        // the producer waits here while the store is full
  pthread_cond_t blocks;      // the writer with the turn waits here for a block or the end
  pthread_cond_t ended;       // the destroyer waits here for writers to end
  char **items;               // ring of `capacity` slots, the oldest block at `head`
  std::uint64_t item_size;
  int capacity;
  int max_capacity;
  std::atomic<int> count;
  std::atomic<int> done;
  int threads; // writers that have not yet ended
  std::atomic<int> started;
  int head;
  bool producer_waiting;
  bool writer_waiting; // cleared by the push that wakes it
  int wake_at;         // a push that makes count this large wakes the waiting writer
};

// Handed to each writer thread, which deletes it when it ends.
struct writer_arg {
  log_queue *queue;
  int thread_id;
};

// A slot holds a 512-byte block and its terminator.
inline constexpr std::uint64_t log_queue_item_size = 513;
// A writer that has just written waits for this many blocks (half the largest
// store), or for the delay.
inline constexpr int log_queue_batch = 240;
inline constexpr int log_queue_batch_delay_ms = 10;

// size <= 0 means 10. nullptr when the record or the slot table cannot be had.
log_queue *log_queue_create(int size);
// Stores a copy of block (at most 512 bytes of it). Without a queue the block is
// logged straight to mycat with a line break added.
void log_queue_push(log_queue *queue, const char *block);
// Grows the store to size slots, never past max_capacity; lock held.
void log_queue_resize(log_queue *queue, std::uint64_t size);
// Raises the count of writers; the run calls it once per thread it started.
void log_queue_add_writer(log_queue *queue);
// Writer thread entry; takes ownership of arg (a writer_arg).
void *output_log_thread(void *arg);
// Tasks (threads included) running under the real user id uid, as the process limit
// (RLIMIT_NPROC) counts them; -1 when /proc cannot be read.
long log_user_tasks(uid_t uid);
// Writer threads that make sense here: four per processor, at least 4, at most the
// store's largest size.
int log_writers_for_machine();
// wanted, cut to log_writers_for_machine() and, under a process limit, to half the room
// the user has left (a warning says so). A count of 0 or less is returned as it is.
int log_writers_allowed(int wanted);
// Drains, ends the writers and releases the queue. Does nothing for nullptr.
void log_queue_destroy(log_queue *queue);

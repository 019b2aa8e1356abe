#pragma once
// A real log4c category whose appender keeps every message in memory, installed
// as mycat for the queue and capture tests. It notices two threads inside log4c
// at once and can be made slow.
#include "log/log_sink.hpp"

#include <log4c.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace testlog {

class MemoryLog {
public:
  explicit MemoryLog(useconds_t delay_us = 0) : delay_us_(delay_us) {
    cat_ = log4c_category_new("nivra-wine-test");
    appender_ = log4c_appender_new("memory-test");
    log4c_appender_set_type(appender_, &type_);
    log4c_appender_set_udata(appender_, this);
    log4c_category_set_appender(cat_, appender_);
    log4c_category_set_priority(cat_, LOG4C_PRIORITY_DEBUG);
    log4c_category_set_additivity(cat_, 0);
    mycat = cat_;
  }
  ~MemoryLog() {
    // A captured run deletes mycat itself and sets it to nullptr.
    if (mycat == cat_) {
      log4c_category_delete(cat_);
      mycat = nullptr;
    }
    log4c_appender_delete(appender_);
  }
  MemoryLog(const MemoryLog &) = delete;
  MemoryLog &operator=(const MemoryLog &) = delete;

  std::vector<std::string> messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
  }
  bool overlapped() const { return overlapped_.load(); }
  void set_delay(useconds_t us) { delay_us_.store(us); }

private:
  static int open(log4c_appender_t *) { return 0; }
  static int close(log4c_appender_t *) { return 0; }
  static int append(log4c_appender_t *appender, const log4c_logging_event_t *event) {
    auto *self = static_cast<MemoryLog *>(log4c_appender_get_udata(appender));
    if (self->inside_.exchange(true))
      self->overlapped_.store(true);
    {
      std::lock_guard lock(self->mutex_);
      self->messages_.emplace_back(event->evt_msg);
    }
    if (useconds_t us = self->delay_us_.load())
      usleep(us);
    self->inside_.store(false);
    return 0;
  }

  inline static const log4c_appender_type_t type_ = {"memory-test", open, append, close};
  log4c_category_t *cat_;
  log4c_appender_t *appender_;
  mutable std::mutex mutex_;
  std::vector<std::string> messages_;
  std::atomic<bool> inside_{false};
  std::atomic<bool> overlapped_{false};
  std::atomic<useconds_t> delay_us_;
};

} // namespace testlog

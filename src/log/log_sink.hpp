#pragma once
// The debug log sink: one log4c category writing dated records into rotated
// files that each begin with sys_info. Main thread only, or under the log
// queue's lock while writer threads exist.
#include "log/sizewin_policy.hpp"

#include <log4c.h>

#include <cstdint>

// The debug log's category, or nullptr. Whoever deletes it sets it back.
extern log4c_category_t *mycat;

// Configures mycat for dir/prefix.N files of max_size bytes, max_files of them.
// Copies both texts. Prints exactly one status line. The caller deletes any
// earlier mycat first; the earlier set-up's log file is then closed here.
void init_log_sink(const char *dir, const char *prefix, std::int64_t max_size, int max_files);

namespace log_sink {

// Starts the log's first file now, with the system information, as the first record would:
// a run whose program prints nothing still leaves its log. Before any writer thread logs.
void open_files();

// How the log of the last set-up went: stopped is false while every record reached its files.
// Display-free, for the end of a run.
sizewin_policy::write_stop outcome();

} // namespace log_sink

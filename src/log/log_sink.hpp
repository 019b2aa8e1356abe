#pragma once
// The debug log sink: one log4c category writing dated records into rotated
// files that each begin with sys_info. Main thread only, or under the log
// queue's lock while writer threads exist.
#include <log4c.h>

#include <cstdint>

// The debug log's category, or nullptr. Whoever deletes it sets it back.
extern log4c_category_t *mycat;

// Configures mycat for dir/prefix.N files of max_size bytes, max_files of them.
// Copies both texts. Prints exactly one status line. The caller deletes any
// earlier mycat first; the earlier set-up's log file is then closed here.
void init_log_sink(const char *dir, const char *prefix, std::int64_t max_size, int max_files);

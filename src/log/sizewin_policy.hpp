#pragma once
// The size-window rolling policy with a header: dir/prefix.0 is written, older files move up one
// index at each roll, the oldest beyond the count is deleted, and every file the policy starts
// begins with the header. log4c's rolling-file appender calls it under its own lock.
// No log file is opened through a link, a file it starts is always new, and an entry at
// prefix.N that is not the user's own regular file is never written, moved, moved over or
// deleted: the roll is refused with a message and records go on where they can.
//
// log4c exports C functions with these same names and calls them through the dynamic linker,
// so ours live in a C++ namespace only: never give them C linkage.
#include <log4c/rollingpolicy.h>

#include <cstdint>
#include <string>

namespace sizewin_policy {

enum : int {
  // The last attempt to start or continue index 0 failed; the stream is the standard-error
  // fallback.
  flag_start_failed = 1 << 0,
  // The fallback is the process's own stderr (its duplicate could not be made): never close it.
  flag_shared_stderr = 1 << 1,
  // An entry that is not the user's own file stopped a roll or index 0; said once.
  flag_foreign_said = 1 << 2,
  // A roll failed and records go on into index 0; said once until a roll succeeds.
  flag_roll_said = 1 << 3,
};

// Where the log stopped. log4c's appender does not look at what its writes return; the
// policy's stream does: at the first failed write (a full disk) the part of the record that
// got in is taken out again and nothing more is written by this policy, so the files hold
// whole records up to that point. The program that is logged goes on unharmed.
struct write_stop {
  bool stopped = false;
  int error = 0;
  std::string file;        // the file that could not be written, or made
  std::string last_record; // the first line of the last record written, cut; empty for none
  std::uint64_t lost = 0;  // records not written into the files since
  bool to_stderr = false;  // they went to standard error instead: the file could not be made
};

// Owned by the policy once set with log4c_rollingpolicy_set_udata: its fini frees it.
struct sizewin_udata {
  std::int64_t file_maxsize = 20480; // 0 or less: never rolled
  std::int64_t max_num_files = 5;    // at least 1
  std::string logdir;                // copied from the rolling-file data at init
  std::string prefix;                // names are file_name(logdir, prefix, i), made when needed
  std::int64_t last_index = -1;      // highest existing index, -1 for none
  int flags = 0;
  const char *header = nullptr; // not copied
  write_stop stop;
  std::int64_t next_record = 0; // bytes of the record about to be written
  bool record_pending = false;  // it has not reached a file yet
};

// Set with log4c_rollingpolicy_set_type after log4c_rollingpolicy_new.
extern const log4c_rollingpolicy_type_t log4c_rollingpolicy_type_sizewin;

// nullptr when out of memory; the setters and init then fail.
sizewin_udata *sizewin_make_udata();
int sizewin_udata_set_file_maxsize(sizewin_udata *swup, std::int64_t max_size);
// A count below 1 is taken as 1.
int sizewin_udata_set_max_num_files(sizewin_udata *swup, std::int64_t max_num);
void sizewin_udata_set_file_header(sizewin_udata *swup, const char *header);

// "dir/prefix.index", the name of one log file.
std::string file_name(const std::string &dir, const std::string &prefix, std::int64_t index);

} // namespace sizewin_policy

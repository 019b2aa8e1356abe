// A captured run against a log folder that fails under it (made read-only,
// removed, full) and against output that is long or holds NUL bytes: the run
// ends, and the program's output up to the failure is in the files, in order.
#include "debug/capture.hpp"
#include "log/log_sink.hpp"
#include "settings/settings.hpp"
#include "test_support.hpp"
#include "util/shell_quote.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace testsupport;

constexpr char kHeader[] = "LOG FAULTS TEST HEADER\nkernel: test 1.0\n";
constexpr char kPrefix[] = "app.log";

struct Rebuilt {
  std::string text;  // the output the records carry
  bool torn = false; // the last record was cut short; it is left out
};

// Appends what the records of `records` (text that starts with a record) carry.
// A 512-byte piece of an over-long line ends without a line break of the
// output: with a break of its own (direct) or none (through writers).
void rebuild(const std::string &records, Rebuilt &r) {
  std::vector<std::size_t> starts;
  for (std::size_t at = 0; at < records.size();) {
    if (record_starts_at(records, at))
      starts.push_back(at);
    const std::size_t newline = records.find('\n', at);
    if (newline == std::string::npos)
      break;
    at = newline + 1;
  }
  if (records.empty())
    return;
  if (starts.empty() || starts[0] != 0) {
    ADD_FAILURE() << "text that is no record: " << records.substr(0, 80);
    return;
  }
  starts.push_back(records.size());
  for (std::size_t i = 0; i + 1 < starts.size(); ++i) {
    const std::size_t from = starts[i] + kRecordPrefix, end = starts[i + 1];
    if (end < from + 1 || records[end - 1] != '\n') {
      r.torn = true;
      return;
    }
    const std::string m = records.substr(from, end - 1 - from);
    if (m.size() == 513 && m[512] == '\n')
      r.text += m.substr(0, 512);
    else if (m.size() == 512 && m.find('\n') == std::string::npos)
      r.text += m;
    else
      r.text += m + "\n";
  }
}

std::string log_name(const std::string &dir, int index) {
  return dir + "/" + kPrefix + "." + std::to_string(index);
}

int count_files(const std::string &dir) {
  int n = 0;
  while (exists(log_name(dir, n)))
    ++n;
  return n;
}

// One more than the highest index present; a roll that failed halfway can leave
// a gap below it.
int index_end(const std::string &dir) {
  int end = 0;
  for (int n = 0; n < 10000; ++n)
    if (exists(log_name(dir, n)))
      end = n + 1;
  return end;
}

// Oldest file first. Stops at the first file without its header or with a torn
// record: what follows lies past the point where writing failed.
Rebuilt rebuild_files(const std::string &dir) {
  Rebuilt r;
  for (int index = index_end(dir) - 1; index >= 0 && !r.torn; --index) {
    if (!exists(log_name(dir, index)))
      continue;
    const std::string text = read_file(log_name(dir, index));
    if (text.compare(0, std::strlen(kHeader), kHeader) != 0) {
      r.torn = true;
      break;
    }
    rebuild(text.substr(std::strlen(kHeader)), r);
  }
  return r;
}

// What the captured run must give back: NUL bytes cannot be carried, and a last
// line without a break gets the record's.
std::string loggable(const std::string &output) {
  std::string s;
  std::copy_if(output.begin(), output.end(), std::back_inserter(s), [](char c) { return c; });
  if (!s.empty() && s.back() != '\n')
    s += '\n';
  return s;
}

// Numbered lines first..last of about 80 bytes each, as a shell command.
std::string lines(int first, int last) {
  return "awk 'BEGIN { for (i = " + std::to_string(first) + "; i <= " + std::to_string(last) +
         "; i++) printf \"line %07d of the output, long enough to fill log files quickly\\n\", "
         "i }'";
}

std::string output_of(const std::string &command) {
  ProcResult r = run_process({"/bin/sh", "-c", command});
  EXPECT_EQ(r.status, 0) << r.err;
  return r.out;
}

class LogRun : public testing::Test {
protected:
  void SetUp() override {
    std::memcpy(saved_sys_info_, sys_info, sizeof(sys_info));
    std::snprintf(sys_info, sizeof(sys_info), "%s", kHeader);
  }
  void TearDown() override {
    std::memcpy(sys_info, saved_sys_info_, sizeof(sys_info));
    if (mycat)
      log4c_category_delete(mycat);
    mycat = nullptr;
  }

  // A set-up and a captured run; returns what the run printed on stderr.
  std::string captured_run(const std::string &dir, std::int64_t max_size, int max_files,
                           const std::string &command, int threads) {
    CaptureStdout();
    init_log_sink(dir.c_str(), kPrefix, max_size, max_files);
    EXPECT_NE(mycat, nullptr);
    CaptureStderr();
    capture::run_captured("", "", command.c_str(), threads);
    std::string err = GetCapturedStderr();
    GetCapturedStdout();
    EXPECT_EQ(mycat, nullptr);
    return err;
  }

  TempDir tmp;
  // Nothing of the user's may configure log4c.
  TempDir rc;
  ScopedEnv rcpath{"LOG4C_RCPATH", rc.path()};
  ScopedEnv home{"HOME", rc.path()};
  char saved_sys_info_[sizeof(sys_info)];
};

class LogFaults : public LogRun, public testing::WithParamInterface<int> {};
using LogFolderRemoved = LogRun;

// Rolls fail once the folder is read-only: the records go on into index 0.
TEST_P(LogFaults, FolderMadeReadOnlyDuringTheRunKeepsEveryLine) {
  chmod(tmp.path().c_str(), 0755);
  const std::string logs = tmp / "logs";
  make_dirs(logs);
  if (geteuid() == 0) {
    ASSERT_EQ(chown(logs.c_str(), 65534, 65534), 0);
  }
  // Writer threads may lag behind the program: wait for the first roll to have
  // ended (.1 there and .0 made again) before taking the folder away.
  const std::string command =
      lines(1, 2000) + "; i=0; until [ -e " + shell_quote::quote(log_name(logs, 1)) +
      " ] && [ -e " + shell_quote::quote(log_name(logs, 0)) +
      " ] || [ $i -ge 1000 ]; do sleep 0.01; i=$((i + 1)); " + "done; chmod 555 " +
      shell_quote::quote(logs) + "; " + lines(2001, 6000);
  const std::string expected = output_of(lines(1, 2000) + "; " + lines(2001, 6000));

  // Root writes into any folder: the run is made by a user the permission binds.
  ProcResult run = run_in_child(
      [&] {
        init_log_sink(logs.c_str(), kPrefix, 16 * 1024, 100);
        if (!mycat)
          return 4;
        capture::run_captured("", "", command.c_str(), GetParam());
        return mycat == nullptr ? 0 : 5;
      },
      true);
  if (run.status == kNoUnprivilegedUser)
    GTEST_SKIP() << "cannot switch to an unprivileged user here";
  ASSERT_LT(run.status, 128) << "the run crashed: " << run.err;
  ASSERT_EQ(run.status, 0) << run.err;

  struct stat st {};
  ASSERT_EQ(stat(logs.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0555u);
  // A roll under way when the folder turned read-only may leave a gap at .1.
  EXPECT_GE(index_end(logs), 2) << "no roll before the folder became read-only";
  ASSERT_EQ(stat(log_name(logs, 0).c_str(), &st), 0);
  EXPECT_GT(st.st_size, 2 * 16 * 1024) << "index 0 was never appended to past its size";

  Rebuilt r = rebuild_files(logs);
  EXPECT_FALSE(r.torn);
  ASSERT_EQ(r.text.size(), expected.size());
  EXPECT_TRUE(r.text == expected);
}

// Index 0 stays writable while open; past the next roll records go to stderr.
TEST_F(LogFolderRemoved, RecordsPastTheNextRollGoToStandardError) {
  const std::string logs = tmp / "logs", keep = tmp / "keep";
  make_dirs(logs);
  make_dirs(keep);
  const std::string zero = shell_quote::quote(log_name(logs, 0));
  // A hard link keeps what was written into index 0 before and after the removal.
  const std::string command = lines(1, 100) + "; i=0; while [ ! -e " + zero +
                              " ] && [ $i -lt 1000 ]; do sleep 0.01; i=$((i + 1)); done; ln " +
                              zero + " " + shell_quote::quote(keep + "/zero") + " && rm -rf " +
                              shell_quote::quote(logs) + "; " + lines(101, 5000);
  const std::string expected = output_of(lines(1, 100) + "; " + lines(101, 5000));

  const std::string err = captured_run(logs, 16 * 1024, 5, command, 0);
  EXPECT_FALSE(exists(logs)) << "the log folder came back";
  const std::string kept = read_file(keep + "/zero");
  ASSERT_EQ(kept.compare(0, std::strlen(kHeader), kHeader), 0) << kept.substr(0, 200);
  EXPECT_GT(err.size(), 100000u) << "the records after the removal did not reach stderr";

  Rebuilt r;
  rebuild(kept.substr(std::strlen(kHeader)), r);
  rebuild(err, r);
  EXPECT_FALSE(r.torn);
  ASSERT_EQ(r.text.size(), expected.size());
  EXPECT_TRUE(r.text == expected);
}

// Detaches the tmpfs even while the log file is still open in it.
struct Mount {
  std::string path;
  bool mounted = false;
  ~Mount() {
    if (mounted && umount(path.c_str()) != 0)
      umount2(path.c_str(), MNT_DETACH);
  }
};

TEST_P(LogFaults, FullFolderKeepsEverythingUpToTheFailure) {
  Mount full{tmp / "full"};
  make_dirs(full.path);
  if (mount("tmpfs", full.path.c_str(), "tmpfs", 0, "size=256k") != 0)
    GTEST_SKIP() << "cannot mount a small tmpfs here (" << std::strerror(errno)
                 << "): the full-folder case needs root with mount permission";
  full.mounted = true;
  const std::string expected = output_of(lines(1, 12000)); // about 1 MB

  // The program goes on after the disk is full: what it prints last is still read.
  const std::string done = tmp / "done";
  captured_run(full.path, 32 * 1024, 200, lines(1, 12000) + "; touch " + done, GetParam());
  EXPECT_TRUE(exists(done));

  struct statvfs vfs {};
  ASSERT_EQ(statvfs(full.path.c_str(), &vfs), 0);
  // The first failed write stops the log: no file is started after it.
  const sizewin_policy::write_stop stop = log_sink::outcome();
  ASSERT_TRUE(stop.stopped) << "the full disk went unnoticed";
  EXPECT_EQ(stop.error, ENOSPC);
  EXPECT_EQ(stop.file, log_name(full.path, 0));
  EXPECT_GT(stop.lost, 0u);
  EXPECT_FALSE(stop.to_stderr);
  // The files hold whole records up to the one the message names, and nothing cut after it.
  const std::string zero = read_file(log_name(full.path, 0));
  if (zero.size() < std::strlen(kHeader)) {
    EXPECT_EQ(zero, "") << "a header cut by the full disk is taken out again";
  }
  Rebuilt r = rebuild_files(full.path);
  EXPECT_EQ(r.torn, zero.empty());
  EXPECT_GT(r.text.size(), 128u * 1024) << "less than half the folder holds output";
  ASSERT_LT(r.text.size(), expected.size());
  EXPECT_EQ(expected.compare(0, r.text.size(), r.text), 0) << "output lost before the failure";
  // The message names the last record there is: its first line, date and all.
  std::string newest =
      zero.size() > std::strlen(kHeader) ? zero : read_file(log_name(full.path, 1));
  std::size_t last = std::string::npos;
  for (std::size_t at = 0; at < newest.size(); at = newest.find('\n', at) + 1) {
    if (record_starts_at(newest, at))
      last = at;
    if (newest.find('\n', at) == std::string::npos)
      break;
  }
  ASSERT_NE(last, std::string::npos);
  EXPECT_EQ(stop.last_record, newest.substr(last, newest.find('\n', last) - last));
  const auto after = static_cast<std::uint64_t>(
      std::count(expected.begin() + static_cast<long>(r.text.size()), expected.end(), '\n'));
  EXPECT_LE(stop.lost, after) << "records that never were";
}

// Tens of megabytes without a pause, with NUL bytes in it.
TEST_P(LogFaults, LongOutputArrivesWhole) {
  const std::vector<std::string> argv = {
      tool_path("gen_output"), "--seed", "21", "--lines", "20000", "--nul"};
  ProcResult gen = run_process(argv);
  ASSERT_EQ(gen.status, 0);
  ASSERT_GT(gen.out.size(), 20u * 1000 * 1000);
  const std::string expected = loggable(gen.out);
  std::string command;
  for (const std::string &a : argv)
    command += shell_quote::quote(a) + " ";

  captured_run(tmp.path(), 1024 * 1024, 100, command, GetParam());
  const int files = count_files(tmp.path());
  ASSERT_GT(files, 10);
  ASSERT_LT(files, 100) << "no file may have been deleted";
  Rebuilt r = rebuild_files(tmp.path());
  EXPECT_FALSE(r.torn);
  ASSERT_EQ(r.text.size(), expected.size());
  EXPECT_TRUE(r.text == expected)
      << "first difference at byte "
      << std::mismatch(r.text.begin(), r.text.end(), expected.begin()).first - r.text.begin();
}

INSTANTIATE_TEST_SUITE_P(Writers, LogFaults, testing::Values(0, 3),
                         [](const testing::TestParamInfo<int> &info) {
                           return info.param ? std::to_string(info.param) + "Writers"
                                             : std::string("Direct");
                         });

} // namespace

// The log sink set up with init_log_sink and written through mycat, as the debug run and the
// writer threads use it: real log4c, real files in temporary folders.
#include "log/log_sink.hpp"
#include "log/sizewin_policy.hpp"
#include "settings/settings.hpp"
#include "test_support.hpp"
#include "util/bounded.hpp"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <regex>
#include <string>
#include <vector>

namespace {

using namespace testsupport;

constexpr char kHeader[] = "sysname: TestOS\nrelease: 1.0\n";
constexpr char kDone[] = "log4c_api 配置完成\n";

// Every record starts with 43 bytes: date, time, "INFO" padded to 8, "nivra-wine- ".
constexpr std::size_t kPrefixLen = 43;

// log4c can be initialised once per process; a failed init is only seen before that.
bool log4c_initialised = false;

std::vector<std::string> entries(const std::string &dir) {
  std::vector<std::string> names;
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d))
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
        names.push_back(e->d_name);
    closedir(d);
  }
  return names;
}

// The descriptors of this process open on path.
std::vector<int> fds_on(const std::string &path) {
  std::vector<int> fds;
  for (const std::string &name : entries("/proc/self/fd")) {
    char target[4096];
    std::string link = "/proc/self/fd/" + name;
    ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
    if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == path)
      fds.push_back(std::atoi(name.c_str()));
  }
  return fds;
}

std::string utc_stamp(const timeval &tv) {
  tm t{};
  gmtime_r(&tv.tv_sec, &t);
  char buf[64];
  std::snprintf(buf, sizeof(buf), "%04d%02d%02d %02d:%02d:%02d.%03ld", t.tm_year + 1900,
                t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                static_cast<long>(tv.tv_usec / 1000));
  return buf;
}

class LogSink : public testing::Test {
protected:
  void SetUp() override {
    std::memcpy(saved_sys_info_, sys_info, sizeof(sys_info));
    bounded::format(sys_info, sizeof(sys_info), "%s", kHeader);
    // log4c reads these at its first init: nothing of the user's may configure it.
    env_.emplace_back(std::make_unique<ScopedEnv>("HOME", home_.path()));
    env_.emplace_back(std::make_unique<ScopedEnv>("LOG4C_RCPATH", rcdir_.path()));
    env_.emplace_back(std::make_unique<ScopedEnv>("LOG4C_PRIORITY", std::nullopt));
    env_.emplace_back(std::make_unique<ScopedEnv>("LOG4C_APPENDER", std::nullopt));
  }

  void TearDown() override {
    drop_category();
    std::memcpy(sys_info, saved_sys_info_, sizeof(sys_info));
  }

  // init_log_sink for our folder; returns what it printed.
  std::string set_up(std::int64_t max_size, int max_files, const std::string &prefix = "app.log") {
    return set_up_in(dir_.path().c_str(), prefix.c_str(), max_size, max_files);
  }
  std::string set_up_in(const char *dir, const char *prefix, std::int64_t max_size, int max_files) {
    CaptureStdout();
    init_log_sink(dir, prefix, max_size, max_files);
    log4c_initialised = true;
    return GetCapturedStdout();
  }

  // As the caller does before a new set-up.
  static void drop_category() {
    if (mycat)
      log4c_category_delete(mycat);
    mycat = nullptr;
  }

  static void log(const std::string &msg) {
    log4c_category_log(mycat, LOG4C_PRIORITY_INFO, "%s", msg.c_str());
  }

  std::string name(int index, const std::string &prefix = "app.log") const {
    return sizewin_policy::file_name(dir_.path(), prefix, index);
  }
  std::string content(int index) const { return read_file(name(index)); }

  TempDir home_;
  TempDir rcdir_;
  TempDir dir_;
  std::vector<std::unique_ptr<ScopedEnv>> env_;
  char saved_sys_info_[sizeof(sys_info)];
};

// What a record carries after its 43-byte prefix.
std::string body_of(const std::string &record) { return record.substr(kPrefixLen); }

TEST_F(LogSink, NoFileUntilTheFirstRecordWhichFollowsTheHeaderDirectly) {
  EXPECT_EQ(set_up(20480, 5), kDone);
  ASSERT_NE(mycat, nullptr);
  EXPECT_STREQ(log4c_category_get_name(mycat), "nivra-wine");
  EXPECT_EQ(log4c_category_get_priority(mycat), LOG4C_PRIORITY_DEBUG);
  EXPECT_TRUE(entries(dir_.path()).empty());

  log("hello");
  EXPECT_THAT(entries(dir_.path()), ElementsAre("app.log.0"));
  std::string text = content(0);
  ASSERT_THAT(text, StartsWith(kHeader));
  EXPECT_EQ(body_of(text.substr(std::strlen(kHeader))), "hello\n");
}

TEST_F(LogSink, RecordFormIsDatedInUtcWithThePaddedPriority) {
  ScopedEnv tz("TZ", "XST-8"); // local time 8 hours off UTC
  tzset();
  ASSERT_EQ(set_up(20480, 5), kDone);
  timeval before{}, after{};
  gettimeofday(&before, nullptr);
  log("line one\nline two");
  gettimeofday(&after, nullptr);

  std::string record = content(0).substr(std::strlen(kHeader));
  std::smatch m;
  ASSERT_TRUE(std::regex_match(record, m,
                               std::regex("(\\d{8} \\d{2}:\\d{2}:\\d{2}\\.\\d{3}) INFO     "
                                          "nivra-wine- line one\nline two\n")))
      << record;
  EXPECT_LE(utc_stamp(before), m[1].str());
  EXPECT_GE(utc_stamp(after), m[1].str());
}

TEST_F(LogSink, RollsBeforeARecordThatWouldExceedTheSize) {
  ASSERT_EQ(set_up(100, 3), kDone);
  const std::string fits(100 - kPrefixLen - 1, 'a'); // a record of exactly 100 bytes
  log(fits);
  EXPECT_EQ(content(0).size(), std::strlen(kHeader) + 100); // the header is not counted
  log("b");
  EXPECT_EQ(body_of(content(1).substr(std::strlen(kHeader))), fits + "\n");
  EXPECT_EQ(body_of(content(0).substr(std::strlen(kHeader))), "b\n");
  log("c");
  EXPECT_FALSE(exists(name(2))) << "two small records fit in one file";
}

TEST_F(LogSink, ARecordLargerThanTheWholeSizeRollsEvenAFreshFile) {
  ASSERT_EQ(set_up(100, 3), kDone);
  const std::string too_long(100 - kPrefixLen, 'x');
  log(too_long);
  EXPECT_EQ(content(1), kHeader);
  EXPECT_EQ(body_of(content(0).substr(std::strlen(kHeader))), too_long + "\n");
}

TEST_F(LogSink, ShiftsUpAndDeletesTheOldestWithAHeaderInEveryFile) {
  ASSERT_EQ(set_up(100, 3), kDone);
  const std::string big(60, 'x');
  for (char c : std::string("abcde"))
    log(std::string(1, c) + big);
  EXPECT_EQ(entries(dir_.path()).size(), 3u);
  for (int i = 0; i < 3; ++i) {
    std::string text = content(i);
    ASSERT_THAT(text, StartsWith(kHeader)) << i;
    EXPECT_EQ(body_of(text.substr(std::strlen(kHeader))), std::string(1, "edc"[i]) + big + "\n");
  }
}

TEST_F(LogSink, FilesOfAnEarlierSetUpMoveUpAtTheFirstRecord) {
  write_file(name(0), "earlier zero\n");
  write_file(name(1), "earlier one\n");
  ASSERT_EQ(set_up(20480, 2), kDone);
  EXPECT_EQ(content(0), "earlier zero\n");
  log("first");
  EXPECT_EQ(content(1), "earlier zero\n");
  EXPECT_EQ(body_of(content(0).substr(std::strlen(kHeader))), "first\n");
  EXPECT_FALSE(exists(name(2)));
}

TEST_F(LogSink, AFileCountBelowOneKeepsOneFile) {
  for (int count : {0, -3}) {
    drop_category();
    TempDir dir;
    ASSERT_EQ(set_up_in(dir.path().c_str(), "one", 100, count), kDone);
    log(std::string(80, '1'));
    log(std::string(80, '2'));
    EXPECT_THAT(entries(dir.path()), ElementsAre("one.0")) << count;
    EXPECT_EQ(read_file(dir / "one.0").substr(std::strlen(kHeader) + kPrefixLen),
              std::string(80, '2') + "\n");
  }
}

TEST_F(LogSink, RecordsGoToStandardErrorWhileIndexZeroCannotBeOpened) {
  ASSERT_EQ(set_up(100, 3), kDone);
  make_dirs(name(0)); // in the way of the log file
  {
    CaptureStderr();
    log("to stderr");
    log("x"); // 52 + 45 bytes: no roll yet
    std::string err = GetCapturedStderr();
    const std::string said =
        "错误：" + name(0) + " 不是您自己的普通文件，日志不会写入它；记录改写到标准错误\n";
    ASSERT_THAT(err, StartsWith(said));
    err.erase(0, said.size());
    ASSERT_EQ(err.size(), 2 * kPrefixLen + 12) << err;
    EXPECT_EQ(body_of(err.substr(0, kPrefixLen + 10)), "to stderr\n");
    EXPECT_EQ(body_of(err.substr(kPrefixLen + 10)), "x\n");
  }
  EXPECT_THAT(entries(dir_.path()), ElementsAre("app.log.0"));
  remove_tree(name(0));
  log(std::string(100, 'r')); // rolls: index 0 is started afresh
  std::string text = content(0);
  ASSERT_THAT(text, StartsWith(kHeader));
  EXPECT_EQ(body_of(text.substr(std::strlen(kHeader))), std::string(100, 'r') + "\n");
  EXPECT_NE(fcntl(STDERR_FILENO, F_GETFD), -1);
}

TEST_F(LogSink, LogFileIsNotInheritedByCommands) {
  ASSERT_EQ(set_up(20480, 5), kDone);
  log("open");
  std::vector<int> fds = fds_on(name(0));
  ASSERT_EQ(fds.size(), 1u);
  EXPECT_NE(fcntl(fds[0], F_GETFD) & FD_CLOEXEC, 0);

  // What a debug command started through the shell would see.
  std::string listing = home_ / "fds.txt";
  ASSERT_EQ(std::system(("ls -l /proc/self/fd/ > " + listing + " 2>&1").c_str()), 0);
  EXPECT_THAT(read_file(listing), Not(HasSubstr(name(0))));
}

TEST_F(LogSink, ASetUpThatStopsEarlyDropsRecordsWithoutCrashing) {
  // Without this folder the rolling-file appender would crash at its first record.
  std::string missing = dir_ / "missing";
  EXPECT_EQ(set_up_in(missing.c_str(), "app.log", 100, 2), "no write permission\n");
  ASSERT_NE(mycat, nullptr);
  log("dropped");
  EXPECT_TRUE(entries(dir_.path()).empty());
  drop_category();

  EXPECT_EQ(set_up_in(nullptr, "app.log", 100, 2), "no write permission\n");
  log("dropped");
  drop_category();
  EXPECT_EQ(set_up_in(dir_.path().c_str(), nullptr, 100, 2), "no write permission\n");
  log("dropped");
  EXPECT_TRUE(entries(dir_.path()).empty());
}

TEST_F(LogSink, FolderWithoutWritePermissionCreatesNothing) {
  std::string ro = dir_ / "ro";
  make_dirs(ro);
  chmod(dir_.path().c_str(), 0755);
  chmod(ro.c_str(), 0555);
  ProcResult r = run_in_child(
      [&] {
        if (chdir(ro.c_str()) != 0)
          return 3;
        init_log_sink(ro.c_str(), "app.log", 100, 2);
        log("never written");
        log(std::string(200, 'x'));
        return 0;
      },
      true);
  if (r.status == kNoUnprivilegedUser)
    GTEST_SKIP() << "cannot switch to an unprivileged user here";
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "no write permission\n");
  EXPECT_TRUE(entries(ro).empty());
}

TEST_F(LogSink, MalformedLog4cConfigurationIsReported) {
  if (log4c_initialised)
    GTEST_SKIP() << "log4c was already initialised in this process; run this test alone";
  write_file(rcdir_ / "log4crc", "<?xml version=\"1.0\"?>\n<log4c><category name=");
  ProcResult r = run_in_child(
      [&] {
        init_log_sink(dir_.path().c_str(), "app.log", 100, 2);
        return mycat == nullptr ? 0 : 1;
      },
      false);
  EXPECT_EQ(r.out, "497 log4c_init error\n");
  EXPECT_EQ(r.status, 0) << "mycat must stay none";
  EXPECT_TRUE(entries(dir_.path()).empty());
}

TEST_F(LogSink, ANewSetUpReleasesTheEarlierLogFile) {
  ASSERT_EQ(set_up(20480, 5, "first"), kDone);
  log("one");
  ASSERT_EQ(fds_on(name(0, "first")).size(), 1u);
  drop_category();

  ASSERT_EQ(set_up(20480, 5, "second"), kDone);
  EXPECT_TRUE(fds_on(name(0, "first")).empty());
  log("two");
  EXPECT_EQ(body_of(read_file(name(0, "first")).substr(std::strlen(kHeader))), "one\n");
  EXPECT_EQ(body_of(read_file(name(0, "second")).substr(std::strlen(kHeader))), "two\n");
}

} // namespace

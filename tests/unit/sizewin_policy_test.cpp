// The size-window policy driven through log4c's policy calls, as the rolling-file appender
// drives it, against real files in a temporary folder.
#include "log/sizewin_policy.hpp"
#include "test_support.hpp"

#include <log4c/appender_type_rollingfile.h>
#include <log4c/logging_event.h>

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// A rename that fails on demand, as when the folder turns read-only halfway
// through a roll. Armed only by the test that needs it; otherwise the real one.
namespace {
int renames_until_failure = -1;
} // namespace

extern "C" int renameat2(int from_dir, const char *from, int to_dir, const char *to,
                         unsigned flags) {
  if (renames_until_failure == 0) {
    renames_until_failure = -1;
    errno = EACCES;
    return -1;
  }
  if (renames_until_failure > 0)
    --renames_until_failure;
  using rename_fn = int (*)(int, const char *, int, const char *, unsigned);
  static auto real = reinterpret_cast<rename_fn>(dlsym(RTLD_NEXT, "renameat2"));
  return real(from_dir, from, to_dir, to, flags);
}

namespace {

using namespace testsupport;
namespace sw = sizewin_policy;

constexpr char kHeader[] = "HEADER line\n";

// log4c has no call that frees rolling-file data; keep it reachable so leak checks stay quiet.
std::vector<rollingfile_udata_t *> &kept_rfudata() {
  static auto *kept = new std::vector<rollingfile_udata_t *>;
  return *kept;
}

class SizewinPolicy : public testing::Test {
protected:
  void TearDown() override { release(); }

  // Ends the policy and its stream, and starts over in a fresh folder.
  void release() {
    if (fp_ && fp_ != stderr)
      std::fclose(fp_);
    fp_ = nullptr;
    if (policy_)
      log4c_rollingpolicy_delete(policy_);
    policy_ = nullptr;
  }
  void fresh_folder() {
    release();
    dir_ = std::make_unique<TempDir>();
  }

  std::string name(int index) const { return sw::file_name(dir_->path(), "app.log", index); }
  std::string content(int index) const { return read_file(name(index)); }
  bool has(int index) const { return exists(name(index)); }

  // Sets the policy up like the log sink does; returns init's result.
  int make(std::int64_t max_files, std::int64_t max_size = 100) {
    rollingfile_udata_t *rf = rollingfile_make_udata();
    kept_rfudata().push_back(rf);
    rollingfile_udata_set_logdir(rf, dir_->path().c_str());
    rollingfile_udata_set_files_prefix(rf, "app.log");
    policy_ = log4c_rollingpolicy_new("sizewin");
    log4c_rollingpolicy_set_type(policy_, &sw::log4c_rollingpolicy_type_sizewin);
    swup_ = sw::sizewin_make_udata();
    sw::sizewin_udata_set_file_maxsize(swup_, max_size);
    sw::sizewin_udata_set_max_num_files(swup_, max_files);
    log4c_rollingpolicy_set_udata(policy_, swup_);
    sw::sizewin_udata_set_file_header(swup_, kHeader);
    return log4c_rollingpolicy_init(policy_, rf);
  }

  int roll() {
    int rc = log4c_rollingpolicy_rollover(policy_, &fp_);
    EXPECT_NE(fp_, nullptr) << "the appender would crash on its next record";
    return rc;
  }
  void write(const std::string &text) { std::fputs(text.c_str(), fp_); }

  std::unique_ptr<TempDir> dir_ = std::make_unique<TempDir>();
  log4c_rollingpolicy_t *policy_ = nullptr;
  sw::sizewin_udata *swup_ = nullptr;
  FILE *fp_ = nullptr;
};

TEST_F(SizewinPolicy, LastIndexIsTheUnbrokenRunFromZero) {
  struct Case {
    std::vector<int> existing;
    std::int64_t max_files;
    std::int64_t last;
  } cases[] = {
      {{}, 3, -1},       {{0}, 3, 0},          {{1, 2}, 3, -1}, {{0, 2}, 3, 0},
      {{0, 1, 2}, 3, 2}, {{0, 1, 2, 3}, 3, 2}, {{0, 1}, 0, 0},  {{0, 1}, -5, 0},
  };
  for (const Case &c : cases) {
    fresh_folder();
    for (int i : c.existing)
      write_file(name(i), "old");
    ASSERT_EQ(make(c.max_files), 0);
    EXPECT_EQ(swup_->last_index, c.last) << "max " << c.max_files;
    EXPECT_GE(swup_->max_num_files, 1);
  }
}

TEST_F(SizewinPolicy, TriggersOnlyWhenTheRecordWouldExceedTheSize) {
  struct Case {
    std::int64_t max_size;
    long current;
    std::string record;
    bool rolls;
  } cases[] = {
      {100, 0, std::string(100, 'x'), false},
      {100, 0, std::string(101, 'x'), true}, // larger than a whole file, even when empty
      {100, 90, std::string(10, 'x'), false},
      {100, 90, std::string(11, 'x'), true},
      {0, 1000000, std::string(10, 'x'), false},
      {-1, 1000000, std::string(10, 'x'), false},
  };
  for (const Case &c : cases) {
    ASSERT_EQ(make(3, c.max_size), 0);
    log4c_logging_event_t event{};
    event.evt_rendered_msg = c.record.c_str();
    EXPECT_EQ(log4c_rollingpolicy_is_triggering_event(policy_, &event, c.current) != 0, c.rolls)
        << c.max_size << " " << c.current << " " << c.record.size();
    release();
  }
}

TEST_F(SizewinPolicy, FilesRemovedByHandLoseNothing) {
  // Oldest gone: counts as deleted. A middle one gone: the shift goes on past the gap.
  for (int removed : {2, 1}) {
    fresh_folder();
    write_file(name(0), "zero");
    write_file(name(1), "one");
    write_file(name(2), "two");
    ASSERT_EQ(make(3), 0);
    roll();
    write("a\n");
    unlink(name(removed).c_str());
    roll();
    write("b\n");
    EXPECT_EQ(content(0), std::string(kHeader) + "b\n") << "removed " << removed;
    EXPECT_EQ(content(1), std::string(kHeader) + "a\n") << "removed " << removed;
    EXPECT_EQ(content(2), removed == 2 ? "zero" : "") << "removed " << removed;
    roll();
    write("c\n");
    EXPECT_EQ(content(2), std::string(kHeader) + "a\n") << "removed " << removed;
    std::fclose(fp_);
    fp_ = nullptr;
  }
}

// A directory in place of a file makes unlink and rename fail even for root.
TEST_F(SizewinPolicy, OldestThatCannotBeDeletedKeepsIndexZeroUntilTheNextRoll) {
  write_file(name(0), "zero\n");
  make_dirs(name(1) + "/busy");
  ASSERT_EQ(make(2), 0);
  ASSERT_EQ(swup_->last_index, 1);
  roll();
  write("a\n");
  EXPECT_EQ(content(0), "zero\na\n"); // appended, not truncated
  EXPECT_NE(fcntl(fileno(fp_), F_GETFD) & FD_CLOEXEC, 0);

  remove_tree(name(1));
  roll();
  write("b\n");
  EXPECT_EQ(content(1), "zero\na\n");
  EXPECT_EQ(content(0), std::string(kHeader) + "b\n");
}

TEST_F(SizewinPolicy, FileThatCannotBeMovedKeepsIndexZeroUntilTheNextRoll) {
  write_file(name(0), "zero\n");
  write_file(name(1), "one\n");
  ASSERT_EQ(make(4), 0);
  ASSERT_EQ(swup_->last_index, 1);
  roll();
  write("a\n");
  make_dirs(name(3) + "/busy"); // moving index 2 up to 3 fails
  roll();
  write("b\n");
  EXPECT_EQ(content(0), std::string(kHeader) + "a\nb\n");
  EXPECT_EQ(content(1), "zero\n");
  EXPECT_EQ(content(2), "one\n");
  EXPECT_EQ(swup_->last_index, 2);

  remove_tree(name(3));
  roll();
  write("c\n");
  EXPECT_EQ(content(0), std::string(kHeader) + "c\n");
  EXPECT_EQ(content(1), std::string(kHeader) + "a\nb\n");
  EXPECT_EQ(content(2), "zero\n");
  EXPECT_EQ(content(3), "one\n");
}

// Files above a rename that failed have moved up already: the next roll must
// start from the new top, or it renames over the file moved last.
TEST_F(SizewinPolicy, RenameFailingHalfwayLosesNothingOnLaterRolls) {
  write_file(name(0), "zero\n");
  write_file(name(1), "one\n");
  write_file(name(2), "two\n");
  ASSERT_EQ(make(6), 0);
  roll(); // .1 zero, .2 one, .3 two
  write("a\n");
  renames_until_failure = 2; // 3 -> 4 and 2 -> 3 go through, 1 -> 2 fails
  roll();
  write("b\n");
  EXPECT_EQ(content(4), "two\n");
  EXPECT_EQ(content(3), "one\n");
  EXPECT_FALSE(has(2));
  EXPECT_EQ(content(1), "zero\n");
  EXPECT_EQ(content(0), std::string(kHeader) + "a\nb\n");
  roll();
  write("c\n");
  EXPECT_EQ(content(0), std::string(kHeader) + "c\n");
  EXPECT_EQ(content(1), std::string(kHeader) + "a\nb\n");
  EXPECT_EQ(content(2), "zero\n");
  EXPECT_FALSE(has(3));
  EXPECT_EQ(content(4), "one\n");
  EXPECT_EQ(content(5), "two\n");
}

// What another user (or a crafted archive) can leave at prefix.N: the policy never writes
// through it, moves it, moves over it or deletes it, and says so once.
TEST_F(SizewinPolicy, EntriesThatAreNotTheUsersOwnAreNeverTouched) {
  using planter =
      std::function<void(const std::function<std::string(int)> &name, const std::string &victim)>;
  const planter link_at_zero = [](const auto &name, const std::string &v) {
    symlink(v.c_str(), name(0).c_str());
  };
  const planter link_above_zero = [](const auto &name, const std::string &v) {
    write_file(name(0), "zero\n");
    symlink(v.c_str(), name(1).c_str());
  };
  const char *no_roll =
      "app.log.1 不是您自己的普通文件，日志不会移动、删除或写入它；日志不再轮转，记录继续追加到";
  struct Case {
    const char *name;
    planter plant;
    std::int64_t max_files;
    bool planted_after_init; // between choosing the log and its first record
    const char *zero_after;  // index 0's content after two records; nullptr: records to stderr
    const char *message;
  } cases[] = {
      {"zero links to the victim", link_at_zero, 3, false, nullptr,
       "app.log.0 不是您自己的普通文件，日志不会移动、删除或写入它；记录改写到标准错误"},
      {"dangling link at zero",
       [](const auto &name, const std::string &v) {
         symlink((v + ".new").c_str(), name(0).c_str());
       },
       3, false, nullptr, "不是您自己的普通文件"},
      {"link planted after the choice", link_at_zero, 3, true, nullptr,
       "app.log.0 不是您自己的普通文件，日志不会写入它；记录改写到标准错误"},
      {"second name of the victim",
       [](const auto &name, const std::string &v) { link(v.c_str(), name(0).c_str()); }, 3, false,
       nullptr, "不是您自己的普通文件"},
      {"FIFO at zero", [](const auto &name, const std::string &) { mkfifo(name(0).c_str(), 0666); },
       3, false, nullptr, "不是您自己的普通文件"},
      {"oldest is a link: not deleted, no roll", link_above_zero, 2, false, "zero\na\nb\n",
       no_roll},
      {"link planted just above the run", link_above_zero, 3, true, "zero\na\nb\n", no_roll},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    fresh_folder();
    const std::string victim = *dir_ / "bashrc";
    write_file(victim, "victim's own\n");
    auto named = [this](int i) { return name(i); };
    if (!c.planted_after_init)
      c.plant(named, victim);
    ASSERT_EQ(make(c.max_files), 0);
    if (c.planted_after_init)
      c.plant(named, victim);
    struct stat before {};
    lstat(name(0).c_str(), &before);
    CaptureStderr();
    roll();
    write("a\n");
    roll();
    write("b\n");
    std::fflush(fp_);
    const std::string err = GetCapturedStderr();
    EXPECT_EQ(read_file(victim), "victim's own\n");
    EXPECT_FALSE(exists(victim + ".new"));
    EXPECT_THAT(err, HasSubstr(c.message));
    EXPECT_EQ(err.find("不是您自己的普通文件"), err.rfind("不是您自己的普通文件")) << "said once";
    struct stat after {};
    ASSERT_EQ(lstat(name(0).c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "index 0 was replaced";
    if (c.zero_after)
      EXPECT_EQ(content(0), c.zero_after);
    else
      EXPECT_NE(swup_->flags & sw::flag_start_failed, 0);
  }
}

// A roll that cannot move the files is said, once, and index 0 goes on; a new index 0 is a
// new file with the permissions the umask gives.
TEST_F(SizewinPolicy, FailedRollIsSaidAndNewFilesFollowTheUmask) {
  const mode_t old_mask = umask(027);
  write_file(name(0), "zero\n");
  ASSERT_EQ(make(3), 0);
  renames_until_failure = 0;
  CaptureStderr();
  roll();
  write("a\n");
  const std::string err = GetCapturedStderr();
  EXPECT_EQ(err, "错误：日志无法轮转（" + name(0) + "：Permission denied），记录继续追加到 " +
                     name(0) + "\n");
  EXPECT_EQ(content(0), "zero\na\n");
  roll();
  struct stat st {};
  ASSERT_EQ(stat(name(0).c_str(), &st), 0);
  umask(old_mask);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(content(1), "zero\na\n");
}

// Standard error redirected into a file for the length of a test.
class StderrCapture {
public:
  explicit StderrCapture(const std::string &path) {
    std::fflush(stderr);
    saved_ = dup(STDERR_FILENO);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, STDERR_FILENO);
    close(fd);
  }
  ~StderrCapture() {
    std::fflush(stderr);
    dup2(saved_, STDERR_FILENO);
    close(saved_);
  }

private:
  int saved_;
};

TEST_F(SizewinPolicy, UnopenableIndexZeroFallsBackToAStderrThatSurvivesClosing) {
  ASSERT_EQ(make(2), 0);
  make_dirs(name(0)); // a folder where index 0 should be: it cannot be opened
  {
    StderrCapture capture(*dir_ / "stderr.txt");
    EXPECT_EQ(roll(), 1);
    ASSERT_NE(fp_, nullptr);
    EXPECT_NE(fp_, stderr);
    EXPECT_NE(fileno(fp_), STDERR_FILENO);
    EXPECT_NE(fcntl(fileno(fp_), F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_NE(swup_->flags & sw::flag_start_failed, 0);
    write("lost?\n");
    // The appender fcloses its stream when it closes; the process keeps its stderr.
    std::fclose(fp_);
    fp_ = nullptr;
    EXPECT_NE(fcntl(STDERR_FILENO, F_GETFD), -1);
    std::fputs("still here\n", stderr);
  }
  EXPECT_EQ(read_file(*dir_ / "stderr.txt"),
            "错误：" + name(0) + " 不是您自己的普通文件，日志不会写入它；记录改写到标准错误\n" +
                "lost?\nstill here\n");
}

// log4c calls its own functions of these names through the dynamic linker; a C-linkage
// definition of ours would silently take their place.
TEST(SizewinNames, LibraryFunctionsAreNotReplaced) {
  for (const char *symbol :
       {"sizewin_make_udata", "sizewin_udata_set_file_maxsize", "sizewin_udata_set_max_num_files",
        "log4c_rollingpolicy_type_sizewin"}) {
    void *address = dlsym(RTLD_DEFAULT, symbol);
    Dl_info info{};
    ASSERT_NE(address, nullptr) << symbol;
    ASSERT_NE(dladdr(address, &info), 0) << symbol;
    EXPECT_THAT(std::string(info.dli_fname), HasSubstr("liblog4c"))
        << symbol << " comes from " << info.dli_fname;
  }
  EXPECT_NE(static_cast<const void *>(&sw::log4c_rollingpolicy_type_sizewin),
            dlsym(RTLD_DEFAULT, "log4c_rollingpolicy_type_sizewin"));
}

TEST(SizewinNames, IndexWithoutLeadingZeros) {
  EXPECT_EQ(sw::file_name("/tmp/logs", "app.log", 0), "/tmp/logs/app.log.0");
  EXPECT_EQ(sw::file_name("/tmp/logs", "app.log", 12), "/tmp/logs/app.log.12");
}

} // namespace

#include "log/log_destination.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace testsupport;

namespace {

struct InputCase {
  const char *size_text;
  const char *count_text;
  const char *unit;
  int result;
  long long size; // expected when result is 0
  int count;
};

void PrintTo(const InputCase &c, std::ostream *os) {
  *os << '"' << c.size_text << "\" \"" << c.count_text << "\" " << c.unit;
}

class SizeInputTest : public testing::TestWithParam<InputCase> {};

TEST_P(SizeInputTest, ReadsLikeAtollAndRejectsWhatDoesNotFit) {
  const InputCase &c = GetParam();
  std::int64_t size = -7;
  int count = -7;
  EXPECT_EQ(log_destination::parse_size_input(c.size_text, c.count_text, c.unit, &size, &count),
            c.result);
  if (c.result == 0) {
    EXPECT_EQ(size, c.size);
    EXPECT_EQ(count, c.count);
  } else {
    // A rejected input leaves the places as they were.
    EXPECT_EQ(size, -7);
    EXPECT_EQ(count, -7);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, SizeInputTest,
    testing::Values(InputCase{"5", "3", "MB", 0, 5, 3}, InputCase{"  +20", "\t1", "KB", 0, 20, 1},
                    // Text after the number is refused like text alone; blanks are not text.
                    InputCase{"12abc", "2", "B", 1, 0, 0}, InputCase{"1e3", "4", "KB", 1, 0, 0},
                    InputCase{"1.5", "1", "MB", 1, 0, 0}, InputCase{"5", "4.9", "KB", 2, 0, 0},
                    InputCase{"5", "2x", "KB", 2, 0, 0}, InputCase{"7 ", "2\t", "KB", 0, 7, 2},
                    // Both invalid: the size is reported.
                    InputCase{"", "", "KB", 1, 0, 0}, InputCase{"abc", "0", "KB", 1, 0, 0},
                    InputCase{"0", "1", "KB", 1, 0, 0}, InputCase{"-5", "1", "KB", 1, 0, 0},
                    InputCase{"5", "0", "KB", 2, 0, 0}, InputCase{"5", "", "KB", 2, 0, 0},
                    InputCase{"5", "-1", "KB", 2, 0, 0}, InputCase{"5", " x1", "KB", 2, 0, 0},
                    // Sizes at and beyond what a signed 64-bit byte count holds, per unit.
                    InputCase{"9223372036854775807", "1", "B", 0, LLONG_MAX, 1},
                    InputCase{"9223372036854775808", "1", "B", 1, 0, 0},
                    InputCase{"99999999999999999999999", "1", "B", 1, 0, 0},
                    InputCase{"9007199254740991", "1", "KB", 0, 9007199254740991LL, 1},
                    InputCase{"9007199254740992", "1", "KB", 1, 0, 0},
                    InputCase{"8796093022207", "1", "MB", 0, 8796093022207LL, 1},
                    InputCase{"8796093022208", "1", "MB", 1, 0, 0},
                    InputCase{"8589934591", "1", "GB", 0, 8589934591LL, 1},
                    InputCase{"8589934592", "2", "GB", 1, 0, 0},
                    // Counts at and beyond the int range.
                    InputCase{"1", "2147483647", "KB", 0, 1, INT_MAX},
                    InputCase{"1", "2147483648", "KB", 2, 0, 0},
                    InputCase{"1", "99999999999999999999", "KB", 2, 0, 0},
                    // An overflowing size is still judged before an invalid count.
                    InputCase{"9223372036854775808", "0", "B", 1, 0, 0}));

TEST(SizeToBytesText, FactorsPerUnitAndUnknownUnits) {
  struct {
    long long size;
    const char *unit;
    const char *text;
  } cases[] = {{5, "MB", "5242880"}, {20, "KB", "20480"},
               {7, "B", "7"},        {3, "GB", "3221225472"},
               {5, "kb", "0"},       {5, "KB ", "0"},
               {5, "", "0"},         {8589934591LL, "GB", "9223372035781033984"}};
  for (const auto &c : cases) {
    char out[log_destination::bytes_text_size];
    std::memset(out, 'x', sizeof(out));
    EXPECT_TRUE(size_to_bytes_text(c.size, c.unit, out, sizeof(out))) << c.size << c.unit;
    EXPECT_STREQ(out, c.text) << c.size << c.unit;
  }
  char out[log_destination::bytes_text_size];
  EXPECT_FALSE(size_to_bytes_text(8589934592LL, "GB", out, sizeof(out)));
  EXPECT_STREQ(out, "0");
}

TEST(SplitPath, DirectoryAndNameAtTheLastSeparator) {
  struct {
    const char *path;
    const char *dir;
    const char *name;
  } cases[] = {{"/tmp/logs/app.log", "/tmp/logs", "app.log"},
               {"/x.log", "", "x.log"},
               {"x.log", ".", "x.log"},
               {"/tmp/logs/", "/tmp/logs", ""},
               {"a//b", "a/", "b"},
               {"", ".", ""}};
  for (const auto &c : cases) {
    char *dir = nullptr, *name = nullptr;
    split_path(c.path, '/', &dir, &name);
    ASSERT_TRUE(dir && name) << c.path;
    EXPECT_STREQ(dir, c.dir) << c.path;
    EXPECT_STREQ(name, c.name) << c.path;
    std::free(dir);
    std::free(name);
  }
}

TEST(SplitPath, FillsOnlyEmptyPlaces) {
  char keep_dir[] = "kept", keep_name[] = "also";
  char *dir = keep_dir, *name = nullptr;
  split_path("/a/b", '/', &dir, &name);
  EXPECT_EQ(dir, keep_dir);
  EXPECT_STREQ(name, "b");
  std::free(name);
  dir = nullptr;
  name = keep_name;
  split_path("/a/b", '/', &dir, &name);
  EXPECT_STREQ(dir, "/a");
  EXPECT_EQ(name, keep_name);
  std::free(dir);
}

TEST(HasNamePrefix, ByteForByteAndCaseSensitive) {
  EXPECT_TRUE(log_destination::has_name_prefix("Untitled.log", "Untitled.log"));
  EXPECT_TRUE(log_destination::has_name_prefix("Untitled.log.0", "Untitled.log"));
  EXPECT_TRUE(log_destination::has_name_prefix("Untitled.logbook", "Untitled.log"));
  EXPECT_FALSE(log_destination::has_name_prefix("untitled.log.2", "Untitled.log"));
  EXPECT_FALSE(log_destination::has_name_prefix("Untitled.lo", "Untitled.log"));
  EXPECT_TRUE(log_destination::has_name_prefix("日志.0", "日志"));
  EXPECT_FALSE(log_destination::has_name_prefix("日志.0", "日忘"));
  // Of those, the log's own names are prefix.N, N written as the sink writes it.
  EXPECT_EQ(log_destination::log_file_index("Untitled.log.0", "Untitled.log"), 0);
  EXPECT_EQ(log_destination::log_file_index("Untitled.log.12", "Untitled.log"), 12);
  for (const char *other :
       {"Untitled.log", "Untitled.log.", "Untitled.log.01", "Untitled.log.1x", "Untitled.logx1",
        "Untitled.log.-1", "Untitled.log.9999999999999999999"})
    EXPECT_EQ(log_destination::log_file_index(other, "Untitled.log"), -1) << other;
}

// Collects what g_print prints while it lives.
class PrintCapture {
public:
  PrintCapture() { old_ = g_set_print_handler(&PrintCapture::handler); }
  ~PrintCapture() { g_set_print_handler(old_); }
  static inline std::string text;

private:
  static void handler(const gchar *s) { text += s; }
  GPrintFunc old_;
};

std::vector<std::string> listing_order(const std::string &dir) {
  std::vector<std::string> names;
  DIR *d = opendir(dir.c_str());
  while (const dirent *e = readdir(d))
    names.emplace_back(e->d_name);
  closedir(d);
  return names;
}

TEST(ScanSamePrefixFiles, AsksForMatchingRegularFilesInListingOrder) {
  TempDir dir;
  for (const char *f : {"Untitled.log.0", "Untitled.log.1", "Untitled.log.bak", "Untitled.log",
                        "untitled.log.2", "other.log"})
    write_file(dir / f, "x");
  make_dirs(dir / "Untitled.log.d");
  symlink((dir / "Untitled.log.0").c_str(), (dir / "Untitled.log.link").c_str());

  std::vector<std::string> expected;
  for (const std::string &n : listing_order(dir.path()))
    if (n.starts_with("Untitled.log") && n != "Untitled.log.d" && n != "Untitled.log.link")
      expected.push_back(n);

  std::vector<std::string> asked;
  PrintCapture::text.clear();
  PrintCapture capture;
  CaptureStderr();
  log_destination::scan_same_prefix_files(dir.path().c_str(), "Untitled.log",
                                          [&](const char *name) {
                                            asked.push_back(name);
                                            return std::string(name) != "Untitled.log.1";
                                          });
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(asked, expected);
  EXPECT_FALSE(exists(dir / "Untitled.log.0"));
  EXPECT_TRUE(exists(dir / "Untitled.log.1"));
  EXPECT_FALSE(exists(dir / "Untitled.log.bak"));
  EXPECT_FALSE(exists(dir / "Untitled.log"));
  EXPECT_TRUE(exists(dir / "untitled.log.2"));
  EXPECT_TRUE(exists(dir / "Untitled.log.d"));
  EXPECT_THAT(PrintCapture::text, HasSubstr("文件 " + (dir / "Untitled.log.bak") + " 删除成功\n"));
  EXPECT_THAT(PrintCapture::text, Not(HasSubstr("Untitled.log.1")));
}

TEST(ScanSamePrefixFiles, FolderThatCannotBeOpened) {
  for (const char *dir : {"", "/nonexistent-nivra-folder"}) {
    bool asked = false;
    CaptureStderr();
    log_destination::scan_same_prefix_files(dir, "x.log", [&](const char *) {
      asked = true;
      return true;
    });
    EXPECT_EQ(GetCapturedStderr(), "无法打开目录: No such file or directory\n") << dir;
    EXPECT_FALSE(asked);
  }
}

TEST(ScanSamePrefixFiles, FailedDeletionIsReportedAndTheScanGoesOn) {
  TempDir dir;
  write_file(dir / "a.log.0", "x");
  write_file(dir / "a.log.1", "x");
  int questions = 0;
  CaptureStderr();
  // Each file vanishes while its question is open, so each deletion fails.
  log_destination::scan_same_prefix_files(dir.path().c_str(), "a.log", [&](const char *name) {
    ++questions;
    std::remove((dir / name).c_str());
    return true;
  });
  EXPECT_EQ(questions, 2);
  EXPECT_EQ(GetCapturedStderr(),
            "文件删除失败: No such file or directory\n文件删除失败: No such file or directory\n");
}

// A full path that only fits a 4096-byte buffer cut would name another file of the same folder;
// the answer for one name must never delete another.
TEST(ScanSamePrefixFiles, LongPathDeletesOnlyTheFileAskedAbout) {
  TempDir base;
  std::string dir = base.path();
  const std::string cut_name = "Untitled.log";
  // Grow the folder path so that dir + "/" + cut_name is exactly 4095 bytes.
  for (std::size_t need = 4095 - 1 - cut_name.size() - dir.size(); need > 0;) {
    std::size_t len = std::min<std::size_t>(200, need - 1);
    if (need - (len + 1) == 1)
      --len; // a component needs at least two bytes
    dir += "/" + std::string(len, 'd');
    need -= len + 1;
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  }
  ASSERT_EQ(dir.size() + 1 + cut_name.size(), 4095u);
  // The second path is too long for the path calls, so work inside the folder.
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  auto present = [&](const char *name) { return faccessat(fd, name, F_OK, 0) == 0; };
  for (const char *name : {"Untitled.log", "Untitled.log.0"})
    close(openat(fd, name, O_WRONLY | O_CREAT, 0600));
  ASSERT_TRUE(present("Untitled.log.0"));

  std::vector<std::string> asked;
  PrintCapture::text.clear();
  {
    PrintCapture capture;
    log_destination::scan_same_prefix_files(dir.c_str(), cut_name.c_str(), [&](const char *name) {
      asked.push_back(name);
      return std::string(name) == "Untitled.log.0";
    });
  }
  EXPECT_EQ(asked.size(), 2u);
  EXPECT_TRUE(present("Untitled.log"));
  EXPECT_FALSE(present("Untitled.log.0"));
  EXPECT_EQ(PrintCapture::text, "文件 " + dir + "/Untitled.log.0 删除成功\n");
  unlinkat(fd, "Untitled.log", 0);
  unlinkat(fd, "Untitled.log.0", 0);
  close(fd);
}

} // namespace

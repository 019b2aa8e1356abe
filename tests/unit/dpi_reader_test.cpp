#include "prefix/dpi_reader.hpp"
#include "prefix/prefix_path.hpp"
#include "settings/settings.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>

using namespace testsupport;

namespace {

const std::string kHeader = "[Control Panel\\\\Desktop] 1700000000\n";

struct DpiCase {
  const char *name;
  std::string content;
  const char *expected; // nullptr: not found
  // Makes the file at path instead of writing content into it.
  std::function<void(const std::string &path)> make = {};
  std::size_t limit = dpi_reader::default_read_limit;
  bool opens = true; // false: treated like a missing file
  bool cut = false;  // the read stops at the limit, with a warning
};

// A 2 GB file of which only the first and the last few bytes hold data.
void sparse_2gb(const std::string &path, const std::string &head, const std::string &tail) {
  write_file(path, head);
  ASSERT_EQ(truncate(path.c_str(), (off_t{2} << 30) - static_cast<off_t>(tail.size())), 0);
  std::ofstream(path, std::ios::app) << tail;
}

void PrintTo(const DpiCase &c, std::ostream *os) { *os << c.name; }

class DpiFileTest : public testing::TestWithParam<DpiCase> {};

TEST_P(DpiFileTest, ReadsOrRejects) {
  TempDir dir;
  std::string path = dir / "user.reg";
  if (GetParam().make)
    GetParam().make(path);
  else
    write_file(path, GetParam().content);
  char dest[20] = "keep";
  dpi_reader::read_limit = GetParam().limit;
  CaptureStdout();
  CaptureStderr();
  bool ok = read_dpi_from_user_reg(path.c_str(), dest, sizeof(dest));
  std::string out = GetCapturedStdout(), err = GetCapturedStderr();
  dpi_reader::read_limit = dpi_reader::default_read_limit;
  if (GetParam().cut) {
    const std::string cut = "警告：注册表文件 " + path + " 超过 " +
                            std::to_string(GetParam().limit) + " 字节，后面的内容没有读取\n";
    ASSERT_THAT(err, StartsWith(cut));
    err.erase(0, cut.size());
  }
  if (!GetParam().opens) {
    EXPECT_FALSE(ok);
    EXPECT_STREQ(dest, "keep");
    EXPECT_EQ(err, "无法打开注册表文件: " + path + "\n");
  } else if (GetParam().expected) {
    EXPECT_TRUE(ok);
    EXPECT_STREQ(dest, GetParam().expected);
    EXPECT_EQ(out, "从文件 " + path + " 解析到DPI: " + GetParam().expected + "\n");
    EXPECT_EQ(err, "");
  } else {
    EXPECT_FALSE(ok);
    EXPECT_STREQ(dest, "keep");
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "在文件 " + path + " 中未找到LogPixels值\n");
  }
}

INSTANTIATE_TEST_SUITE_P(
    UserReg, DpiFileTest,
    testing::Values(
        DpiCase{"hex120", kHeader + "\"LogPixels\"=dword:00000078\n", "120"},
        DpiCase{"upper480", kHeader + "\"LogPixels\"=dword:000001E0\n", "480"},
        DpiCase{"max32", kHeader + "\"LogPixels\"=dword:ffffffff\n", "4294967295"},
        DpiCase{"crlf", kHeader + "\"FontSmoothing\"=\"2\"\r\n\"LogPixels\"=dword:00000090\r\n",
                "144"},
        DpiCase{"firstValueWins",
                kHeader + "\"LogPixels\"=dword:00000090\n\"LogPixels\"=dword:000000c0\n", "144"},
        DpiCase{"beforeHeader", "\"LogPixels\"=dword:00000090\n" + kHeader, nullptr},
        DpiCase{"windowMetricsKey",
                "[Control Panel\\\\Desktop\\\\WindowMetrics] 1\n\"LogPixels\"=dword:00000090\n",
                nullptr},
        DpiCase{
            "nextSection",
            kHeader +
                "\"Wallpaper\"=\"\"\n\n[Control Panel\\\\Mouse] 1\n\"LogPixels\"=dword:00000090\n",
            nullptr},
        DpiCase{"stringValue", kHeader + "\"LogPixels\"=\"144\"\n", nullptr},
        DpiCase{"noDigits", kHeader + "\"LogPixels\"=dword:zz\n\"LogPixels\"=dword:00000060\n",
                "96"},
        DpiCase{"overflow33bits", kHeader + "\"LogPixels\"=dword:100000090\n", nullptr},
        DpiCase{"headerOnly", kHeader, nullptr}, DpiCase{"empty", "", nullptr},
        DpiCase{"nulBytes",
                kHeader + std::string("\0\0junk\n", 7) + "\"LogPixels\"=dword:00000078\n", "120"},
        // A long line is read in 1023-byte pieces; the value in its tail is a line of its own.
        DpiCase{"longLineTail", kHeader + std::string(1023, 'x') + "\"LogPixels\"=dword:00000078\n",
                "120"},
        DpiCase{"hugeJunkLine",
                kHeader + std::string(100000, '\x01') + "\n\"LogPixels\"=dword:000000a8\n", "168"},
        // A prefix is a folder users download: what is there may be no file at all, or huge.
        DpiCase{"fifo", "", nullptr, [](const std::string &p) { mkfifo(p.c_str(), 0600); },
                dpi_reader::default_read_limit, false},
        DpiCase{"linkToDevZero", "", nullptr,
                [](const std::string &p) { symlink("/dev/zero", p.c_str()); },
                dpi_reader::default_read_limit, false},
        DpiCase{"sparse2GbValueAtTheEnd", "", "144",
                [](const std::string &p) {
                  sparse_2gb(p, kHeader, "\n\"LogPixels\"=dword:00000090\n");
                }},
        DpiCase{"cutAtTheReadLimit",
                kHeader + std::string(2000, 'x') + "\n\"LogPixels\"=dword:00000090\n",
                nullptr,
                {},
                1024,
                true,
                true},
        DpiCase{
            "valueBeforeTheReadLimit", kHeader + "\"LogPixels\"=dword:00000090\n", "144", {}, 64}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(DpiParse, ReadsLikePercentX) {
  EXPECT_EQ(dpi_reader::parse_dword("dword:  0x78"), 120u);
  EXPECT_EQ(dpi_reader::parse_dword("dword:78zz"), 120u);
  EXPECT_EQ(dpi_reader::parse_dword("dword:0xg"), 0u);
  EXPECT_EQ(dpi_reader::parse_dword("x dword:1 dword:2"), 1u);
  EXPECT_EQ(dpi_reader::parse_dword("dword:"), std::nullopt);
  EXPECT_EQ(dpi_reader::parse_dword("dword:-"), std::nullopt);
  EXPECT_EQ(dpi_reader::parse_dword("no value"), std::nullopt);
}

TEST(DpiReader, UnreadableFileLeavesDestination) {
  TempDir dir;
  char dest[20] = "keep";
  CaptureStderr();
  EXPECT_FALSE(read_dpi_from_user_reg((dir / "missing.reg").c_str(), dest, sizeof(dest)));
  EXPECT_EQ(GetCapturedStderr(), "无法打开注册表文件: " + (dir / "missing.reg") + "\n");
  EXPECT_STREQ(dest, "keep");
}

TEST(DpiReader, DestinationIsCutToItsSize) {
  TempDir dir;
  write_file(dir / "user.reg", kHeader + "\"LogPixels\"=dword:ffffffff\n");
  char dest[5];
  CaptureStdout();
  EXPECT_TRUE(read_dpi_from_user_reg((dir / "user.reg").c_str(), dest, sizeof(dest)));
  GetCapturedStdout();
  EXPECT_STREQ(dest, "4294");
}

TEST(DpiReader, DirectoryInsteadOfFileIsNotFound) {
  TempDir dir;
  make_dirs(dir / "user.reg");
  char dest[20] = "keep";
  CaptureStderr();
  EXPECT_FALSE(read_dpi_from_user_reg((dir / "user.reg").c_str(), dest, sizeof(dest)));
  EXPECT_NE(GetCapturedStderr(), "");
  EXPECT_STREQ(dest, "keep");
}

class CurrentDpiTest : public testing::Test {
protected:
  void SetUp() override { std::strcpy(current_dpi, "96"); }
  void TearDown() override {
    std::strcpy(current_dpi, "96");
    wine_prefix = nullptr;
  }
  TempDir dir;
};

TEST_F(CurrentDpiTest, MissingFileWarnsAndKeepsLastValue) {
  wine_prefix = dir.path().c_str();
  write_file(dir / "user.reg", kHeader + "\"LogPixels\"=dword:00000078\n");
  CaptureStdout();
  EXPECT_STREQ(get_current_dpi(), "120");
  GetCapturedStdout();
  remove_tree(dir / "user.reg");
  CaptureStderr();
  const char *dpi = get_current_dpi();
  EXPECT_EQ(GetCapturedStderr(), "无法打开注册表文件: " + (dir / "user.reg") +
                                     "\n警告：无法从注册表文件读取DPI值，使用默认值96\n");
  EXPECT_STREQ(dpi, "120");
  EXPECT_EQ(dpi, current_dpi);
}

TEST_F(CurrentDpiTest, EmptyOrMissingPrefix) {
  for (const char *prefix : {static_cast<const char *>(nullptr), ""}) {
    wine_prefix = prefix;
    CaptureStderr();
    EXPECT_STREQ(get_current_dpi(), "96");
    EXPECT_EQ(GetCapturedStderr(), "错误：wineprefix未设置或为空\n");
  }
}

// No length of ours: a prefix is read as long as the system takes its path.
TEST_F(CurrentDpiTest, PrefixAsLongAsTheSystemTakes) {
  std::string deep = dir.path();
  while (deep.size() < 1102)
    deep += "/" + std::string(std::min<std::size_t>(200, 1102 - deep.size() - 1), 'p');
  ASSERT_EQ(deep.size(), 1102u);
  make_dirs(deep);
  write_file(deep + "/user.reg", kHeader + "\"LogPixels\"=dword:00000090\n");
  struct Case {
    std::string prefix;
    const char *dpi;
  } cases[] = {
      {deep, "144"},                           // 1,102 bytes
      {"/" + std::string(1013, 'p'), nullptr}, // 1,014: there is no such folder
      {"/" + std::string(1014, 'p'), nullptr}, // 1,015
      {"/" + std::string(5000, 'p'), nullptr}, // longer than the system takes
  };
  for (const Case &c : cases) {
    std::strcpy(current_dpi, "96");
    wine_prefix = c.prefix.c_str();
    CaptureStdout();
    CaptureStderr();
    EXPECT_STREQ(get_current_dpi(), c.dpi ? c.dpi : "96");
    std::string out = GetCapturedStdout(), err = GetCapturedStderr();
    if (c.dpi) {
      EXPECT_EQ(err, "");
      EXPECT_EQ(out, "从文件 " + c.prefix + "/user.reg 解析到DPI: 144\n");
    } else {
      EXPECT_EQ(err, "无法打开注册表文件: " + c.prefix +
                         "/user.reg\n警告：无法从注册表文件读取DPI值，使用默认值96\n");
    }
  }
}

TEST_F(CurrentDpiTest, TrailingSlashGivesDoubledSlash) {
  std::string prefix = dir.path() + "/";
  wine_prefix = prefix.c_str();
  write_file(dir / "user.reg", kHeader + "\"LogPixels\"=dword:000000c0\n");
  CaptureStdout();
  EXPECT_STREQ(get_current_dpi(), "192");
  EXPECT_THAT(GetCapturedStdout(), HasSubstr(dir.path() + "//user.reg"));
}

TEST_F(CurrentDpiTest, DefaultPrefixIsFoundUnderHome) {
  make_dirs(dir / ".wine");
  write_file(dir / ".wine/user.reg", kHeader + "\"LogPixels\"=dword:00000090\n");
  ScopedEnv home("HOME", dir.path());
  wine_prefix = settings::prefix_from_env(nullptr);
  EXPECT_STREQ(wine_prefix, "~/.wine");
  CaptureStdout();
  EXPECT_STREQ(get_current_dpi(), "144");
  EXPECT_EQ(GetCapturedStdout(), "从文件 " + dir.path() + "/.wine/user.reg 解析到DPI: 144\n");
}

TEST(PrefixPath, ExpandsOnlyALeadingTilde) {
  EXPECT_EQ(prefix_path::expand("~/.wine", "/home/u"), "/home/u/.wine");
  EXPECT_EQ(prefix_path::expand("~", "/home/u"), "/home/u");
  EXPECT_EQ(prefix_path::expand("~user/.wine", "/home/u"), "~user/.wine");
  EXPECT_EQ(prefix_path::expand("/a/~/b", "/home/u"), "/a/~/b");
  EXPECT_EQ(prefix_path::expand("~/.wine", nullptr), "~/.wine");
  EXPECT_EQ(prefix_path::expand("", "/home/u"), "");
}

} // namespace

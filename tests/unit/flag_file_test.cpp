#include "confirm/flag_file.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

using namespace testsupport;

namespace {

constexpr char kFlagDir[] = ".config/nivra-wine";

TEST(FlagFile, WritesOneByteReplacingEarlierContent) {
  TempDir home;
  make_dirs(home / kFlagDir);
  std::string flag = home / ".config/nivra-wine/enable_wine_start_helper";
  std::string other = home / "other";
  ScopedEnv env("HOME", home.path());
  struct Case {
    bool ticked;
    const char *before; // null: no file yet
    const char *after;  // null: the flag path is left as planted, other keeps "theirs"
    std::function<void()> plant = {};
    std::string err = "";
  };
  const std::string link_said = "错误：" + flag + " 是一个链接，不写入，保持原样\n";
  const Case cases[] = {
      {true, nullptr, "0"},
      {false, "0", "1"},
      {true, "something much longer\n", "0"},
      {false, "1\n", "1"},
      // Whatever is there instead of the user's own file is left as it is.
      {true, nullptr, nullptr, [&] { symlink(other.c_str(), flag.c_str()); }, link_said},
      {true, nullptr, nullptr, [&] { symlink((other + ".new").c_str(), flag.c_str()); }, link_said},
      {true, nullptr, "theirs", [&] { link(other.c_str(), flag.c_str()); }, link_said},
      {true, nullptr, nullptr, [&] { mkfifo(flag.c_str(), 0600); },
       "错误：" + flag + " 不是普通文件，不写入，保持原样\n"},
  };
  for (const Case &c : cases) {
    std::filesystem::remove(flag);
    write_file(other, "theirs");
    if (c.before)
      write_file(flag, c.before);
    if (c.plant)
      c.plant();
    CaptureStderr();
    write_flag_file(c.ticked);
    EXPECT_EQ(GetCapturedStderr(), c.err);
    EXPECT_EQ(read_file(other), "theirs");
    EXPECT_FALSE(exists(other + ".new"));
    if (c.after)
      EXPECT_EQ(read_file(flag), c.after) << c.ticked;
    else
      EXPECT_FALSE(std::filesystem::is_regular_file(std::filesystem::symlink_status(flag)));
  }
}

TEST(FlagFile, MissingFolderIsReportedAndNotCreated) {
  TempDir home;
  ScopedEnv env("HOME", home.path());
  CaptureStderr();
  write_flag_file(true);
  EXPECT_EQ(GetCapturedStderr(), "无法打开文件: No such file or directory\n");
  EXPECT_FALSE(exists(home / ".config"));
}

TEST(FlagFile, UnsetHomeWritesNothing) {
  ScopedEnv env("HOME", std::nullopt);
  char dir[256] = "untouched";
  CaptureStderr();
  EXPECT_FALSE(get_real_flag_file_dir(dir, sizeof(dir)));
  write_flag_file(true);
  EXPECT_EQ(GetCapturedStderr(),
            "get_real_flag_file_dir: Could not get HOME environment variable.\n"
            "get_real_flag_file_dir: Could not get HOME environment variable.\n");
}

// HOME values of a given length: up to 211 bytes the file path fits 256,
// up to 236 only the folder does.
TEST(FlagFile, PathLimitsAndTheirMessages) {
  struct Case {
    std::size_t home_len;
    bool dir_fits;
    bool name_fits;
  };
  const Case cases[] = {{1, true, true},    {211, true, true},   {212, true, false},
                        {236, true, false}, {237, false, false}, {300, false, false}};
  for (const Case &c : cases) {
    std::string home = "/" + std::string(c.home_len - 1, 'h');
    ScopedEnv env("HOME", home);
    char dir[256];
    char name[256];
    CaptureStderr();
    bool dir_ok = get_real_flag_file_dir(dir, sizeof(dir));
    std::string dir_err = GetCapturedStderr();
    CaptureStderr();
    bool name_ok = get_real_flag_file_name(name, sizeof(name), "enable_wine_start_helper");
    std::string name_err = GetCapturedStderr();
    EXPECT_EQ(dir_ok, c.dir_fits) << c.home_len;
    EXPECT_EQ(name_ok, c.name_fits) << c.home_len;
    std::string dir_message =
        "get_real_flag_file_dir: Flag file path too long. n=" + std::to_string(c.home_len + 19) +
        ", dir_size=256, file dir=" + home + "/.config/nivra-wine\n";
    if (c.dir_fits) {
      EXPECT_EQ(dir_err, "");
      EXPECT_EQ(std::string(dir), home + "/.config/nivra-wine");
    } else {
      EXPECT_EQ(dir_err, dir_message);
    }
    if (c.name_fits) {
      EXPECT_EQ(name_err, "");
      EXPECT_EQ(std::string(name), home + "/.config/nivra-wine/enable_wine_start_helper");
    } else if (c.dir_fits) {
      EXPECT_EQ(name_err, "get_real_flag_file_name: Flag file path too long.\n");
    } else {
      EXPECT_EQ(name_err, dir_message);
    }
  }
}

TEST(FlagFile, DestinationSizeDecidesAndEmptyHomeIsAccepted) {
  ScopedEnv env("HOME", "");
  char dir[256];
  CaptureStderr();
  EXPECT_TRUE(get_real_flag_file_dir(dir, sizeof(dir)));
  EXPECT_STREQ(dir, "/.config/nivra-wine");
  char small[19];
  EXPECT_FALSE(get_real_flag_file_dir(small, sizeof(small)));
  char name[20];
  EXPECT_FALSE(get_real_flag_file_name(name, sizeof(name), "x"));
  EXPECT_EQ(GetCapturedStderr(),
            "get_real_flag_file_dir: Flag file path too long. n=19, dir_size=19, file "
            "dir=/.config/nivra-wine\n"
            "get_real_flag_file_name: Flag file path too long.\n");
}

TEST(FlagFile, TooLongHomeLeavesTheFileAlone) {
  // The folder exists under the long home, so only the length check can stop it.
  TempDir base;
  std::string home = base.path();
  home += "/" + std::string(236 - home.size() - 1, 'h');
  ASSERT_EQ(home.size(), 236u);
  make_dirs(home + "/" + kFlagDir);
  ScopedEnv env("HOME", home);
  CaptureStderr();
  write_flag_file(true);
  EXPECT_EQ(GetCapturedStderr(), "get_real_flag_file_name: Flag file path too long.\n");
  EXPECT_TRUE(std::filesystem::is_empty(home + "/" + kFlagDir)); // nothing, cut or whole
}

} // namespace

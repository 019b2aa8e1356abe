#include "settings/settings.hpp"
#include "shell/main_window.hpp"
#include "startup.hpp"
#include "test_support.hpp"
#include "util/i18n.hpp"

#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace testsupport;

bool refuses(std::vector<std::string> args) {
  std::vector<char *> argv;
  for (auto &a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  return startup::refuses_arguments(static_cast<int>(args.size()), argv.data());
}

TEST(Startup, ArgumentShapes) {
  EXPECT_TRUE(refuses({"helper"}));
  EXPECT_TRUE(refuses({"helper", "--"}));
  EXPECT_TRUE(refuses({"helper", "--help"}));
  EXPECT_TRUE(refuses({"helper", "--version"}));
  EXPECT_FALSE(refuses({"helper", "-v"}));
  EXPECT_FALSE(refuses({"helper", "-"}));
  EXPECT_FALSE(refuses({"helper", "-x"}));
  EXPECT_FALSE(refuses({"helper", "prog.exe"}));
  EXPECT_FALSE(refuses({"helper", "--x", "arg"}));
  EXPECT_FALSE(refuses({"helper", "--help", "--version"}));
}

// In the C locale GLib's own print handler would write "?" for every Chinese character.
TEST(Startup, ToolkitPrintKeepsItsUtf8InTheCLocale) {
  ASSERT_TRUE(std::setlocale(LC_ALL, "C"));
  i18n::init();
  CaptureStdout();
  g_print("文件 %s 删除成功\n", "/tmp/a.log.1");
  EXPECT_EQ(GetCapturedStdout(), "文件 /tmp/a.log.1 删除成功\n");
  g_set_print_handler(nullptr);
}

TEST(Startup, ThreadNumberReadsLikeAtoi) {
  EXPECT_EQ(settings::thread_num_from_env(nullptr), 0);
  EXPECT_EQ(settings::thread_num_from_env(""), 0);
  EXPECT_EQ(settings::thread_num_from_env("abc"), 0);
  EXPECT_EQ(settings::thread_num_from_env("4x"), 4);
  EXPECT_EQ(settings::thread_num_from_env("  7"), 7);
  EXPECT_EQ(settings::thread_num_from_env("-2"), -2);
}

TEST(Startup, PrefixDefault) {
  EXPECT_STREQ(settings::prefix_from_env(nullptr), "~/.wine");
  EXPECT_STREQ(settings::prefix_from_env(""), "~/.wine");
  EXPECT_STREQ(settings::prefix_from_env("/p"), "/p");
}

class LauncherPathTest : public testing::Test {
protected:
  void SetUp() override { std::memset(wine_app_path, 0, sizeof(wine_app_path)); }
  void TearDown() override { SetUp(); }
};

TEST_F(LauncherPathTest, FromEnvironmentOrProgramDirectory) {
  using settings::LauncherPath;
  EXPECT_EQ(settings::set_wine_app_path("/usr/bin/wine", "/opt/app/bin"), LauncherPath::ok);
  EXPECT_STREQ(wine_app_path, "/usr/bin/wine");
  // Empty is unset: the version query, the buttons and 确定 all read this.
  EXPECT_EQ(settings::set_wine_app_path("", "/opt/app/bin"), LauncherPath::ok);
  EXPECT_STREQ(wine_app_path, "/opt/app/bin/nivra-wine-internal");
  EXPECT_EQ(settings::set_wine_app_path("", nullptr), LauncherPath::no_exe_dir);
  EXPECT_EQ(settings::set_wine_app_path(nullptr, "/opt/app/bin"), LauncherPath::ok);
  EXPECT_STREQ(wine_app_path, "/opt/app/bin/nivra-wine-internal");
  EXPECT_EQ(settings::set_wine_app_path(nullptr, ""), LauncherPath::ok);
  EXPECT_STREQ(wine_app_path, "/nivra-wine-internal");
}

// Any path the system takes fits; one it would refuse is refused here, never cut.
TEST_F(LauncherPathTest, NeverStoresAShortenedPath) {
  using settings::LauncherPath;
  struct Case {
    std::size_t env_len, dir_len; // 0: unset
    LauncherPath result;
  } cases[] = {
      {600, 0, LauncherPath::ok},
      {PATH_MAX - 1, 0, LauncherPath::ok},
      {PATH_MAX, 0, LauncherPath::too_long},
      {0, 600, LauncherPath::ok},
      {0, PATH_MAX - 21, LauncherPath::ok},
      {0, PATH_MAX - 20, LauncherPath::too_long},
  };
  for (const Case &c : cases) {
    std::string env(c.env_len, 'a'), dir(c.dir_len, 'd');
    std::memset(wine_app_path, 0, sizeof(wine_app_path));
    EXPECT_EQ(settings::set_wine_app_path(c.env_len ? env.c_str() : nullptr,
                                          c.dir_len ? dir.c_str() : nullptr),
              c.result)
        << c.env_len << " " << c.dir_len;
    if (c.result != LauncherPath::ok)
      EXPECT_STREQ(wine_app_path, "");
    else
      EXPECT_EQ(std::string(wine_app_path), c.env_len ? env : dir + "/nivra-wine-internal");
  }
  EXPECT_EQ(settings::set_wine_app_path(nullptr, nullptr), LauncherPath::no_exe_dir);
}

TEST(Startup, ExeDirIsThisProgramsFolder) {
  const char *dir = get_exe_dir();
  ASSERT_NE(dir, nullptr);
  EXPECT_EQ(dir, exe_dir);
  EXPECT_EQ(std::string(NIVRA_TOOLS_DIR), dir);
}

TEST(Startup, SysInfoHasFiveUnameLines) {
  sys_info[0] = '\0';
  get_sys_info();
  std::string info = sys_info;
  EXPECT_THAT(info, StartsWith("sysname: Linux\nnodename: "));
  EXPECT_THAT(info, HasSubstr("\nrelease: "));
  EXPECT_THAT(info, HasSubstr("\nversion: "));
  EXPECT_THAT(info, HasSubstr("\nmachine: "));
  EXPECT_NE(info.back(), '\n');
}

TEST(MainWindowLogic, IconPathAndDpiIndex) {
  EXPECT_EQ(icon_path_for("/opt/app/bin"),
            "/opt/app/desktop/icons/hicolor/48x48/apps/wineconfig.png");
  EXPECT_EQ(icon_path_for("bin"), "bin/desktop/icons/hicolor/48x48/apps/wineconfig.png");
  std::string long_dir = "/" + std::string(300, 'x') + "/bin";
  EXPECT_EQ(icon_path_for(long_dir.c_str()),
            "/" + std::string(300, 'x') + "/desktop/icons/hicolor/48x48/apps/wineconfig.png");
  EXPECT_EQ(dpi_index_of("96"), 0);
  EXPECT_EQ(dpi_index_of("144"), 2);
  EXPECT_EQ(dpi_index_of("480"), 11);
  EXPECT_EQ(dpi_index_of("100"), -1);
  EXPECT_EQ(dpi_index_of("096"), -1);
}

} // namespace

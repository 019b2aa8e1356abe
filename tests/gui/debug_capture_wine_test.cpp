// A captured debug run of a real Windows program under Wine, set up the way a
// user does it: tick "启动日志", pick a channel preset, choose the log file with
// "...", answer the size dialog, press "运行".
#include "debuglog/debug_dialog.hpp"
#include "debuglog/log_sink.hpp"
#include "dialog_driver.hpp"
#include "settings/settings.hpp"
#include "startup.hpp"
#include "test_support.hpp"
#include "wine_env.hpp"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <cstring>
#include <filesystem>
#include <map>

using namespace testsupport;

namespace {

GtkWidget *find_check_button(GtkWidget *widget, const char *label) {
  if (GTK_IS_CHECK_BUTTON(widget) &&
      std::strcmp(gtk_button_get_label(GTK_BUTTON(widget)), label) == 0)
    return widget;
  if (!GTK_IS_CONTAINER(widget))
    return nullptr;
  for (GtkWidget *child : children(widget))
    if (GtkWidget *found = find_check_button(child, label))
      return found;
  return nullptr;
}

gboolean click_later(gpointer button) {
  gtk_button_clicked(GTK_BUTTON(button));
  return G_SOURCE_REMOVE;
}

TEST(DebugCaptureWine, CmdExeOutputLandsInRotatedFilesThatBeginWithTheSystemInformation) {
  g_setenv("GSETTINGS_BACKEND", "memory", TRUE);
  TempDir dir;
  wine::TestPrefix prefix(dir / "prefix");
  std::string bat = "@echo off\r\n";
  for (int i = 1; i <= 40; ++i)
    bat += "echo nivra-line-" + std::to_string(i) + "\r\n";
  write_file(prefix / "drive_c/lines.bat", bat);
  make_dirs(dir / "logs");

  std::vector<ScopedEnv *> env;
  for (const auto &[name, value] : wine::env_for(prefix.path()))
    env.push_back(new ScopedEnv(name.c_str(), value));
  std::string launcher = wine::launcher();
  std::strcpy(wine_app_path, launcher.c_str());
  std::strcpy(sys_info, "");
  get_sys_info();
  std::string header = sys_info;
  const char *argv[] = {"nivra-wine-helper", "cmd.exe", "/c", "C:\\lines.bat", nullptr};
  app_argv = const_cast<char **>(argv);

  GtkWidget *main_window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  Driver driver(main_window);
  driver
      .then("调试启动",
            [](GtkWidget *dialog) {
              gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(find_check_button(dialog, "启动日志")),
                                           TRUE);
              gtk_combo_box_set_active(GTK_COMBO_BOX(log_config_ctrl[2]), 0); // "  标准日志  "
              // "..." runs dialogs of its own: click it from outside this callback.
              g_idle_add(click_later, log_config_ctrl[7]);
            })
      .until("Save File", save_as(dir / "logs", "wine.log"))
      .then("请设置文件大小以及需要保留最近几个文件", confirm_size("8", "KB", "400"))
      .answer("调试启动", 2)
      .then("打包日志", [](GtkWidget *box) { gtk_dialog_response(GTK_DIALOG(box), 1); });

  CaptureStdout();
  on_debug_app_btn_clicked(nullptr, main_window);
  std::string out = GetCapturedStdout();
  gtk_widget_destroy(main_window);
  app_argv = nullptr;
  for (auto *e : env)
    delete e;

  EXPECT_TRUE(driver.done());
  // The command line entry begins with a blank: three blanks after the channel
  // when the environment text is empty.
  EXPECT_THAT(out, HasSubstr("cmdline [WINEDEBUG=+pid,+tid,+process,+module,+loaddll,+seh   " +
                             launcher + " cmd.exe /c \"C:\\lines.bat\" 2>&1]\n"));
  EXPECT_THAT(out, HasSubstr("保存的位置: " + dir.path() + "/logs/wine.log\n"));
  EXPECT_EQ(mycat, nullptr);

  // Read the files back oldest first; every one starts with the header.
  std::map<int, std::string> files;
  for (const auto &entry : std::filesystem::directory_iterator(dir / "logs")) {
    std::string name = entry.path().filename();
    ASSERT_THAT(name, StartsWith("wine.log."));
    files[std::stoi(name.substr(9))] = read_file(entry.path());
  }
  ASSERT_GE(files.size(), 2u) << "the run should have rolled at least once";
  std::string all;
  for (auto it = files.rbegin(); it != files.rend(); ++it) {
    EXPECT_THAT(it->second, StartsWith(header)) << "file " << it->first;
    all += it->second.substr(header.size());
  }
  // Wine's own trace lines and the program's lines, in order.
  EXPECT_THAT(all, HasSubstr(":trace:"));
  EXPECT_THAT(all, HasSubstr(" INFO     nivra-wine- "));
  size_t at = 0;
  for (int i = 1; i <= 40; ++i) {
    at = all.find("nivra-line-" + std::to_string(i) + "\r\n", at);
    ASSERT_NE(at, std::string::npos) << "line " << i;
  }
}

} // namespace

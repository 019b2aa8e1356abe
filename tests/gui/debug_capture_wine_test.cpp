// A captured debug run of a real Windows program under Wine, set up the way a
// user does it: tick "启动日志", pick a channel preset, choose the log file with
// "...", answer the size dialog, press "运行".
#include "debug/debug_dialog.hpp"
#include "dialog_driver.hpp"
#include "log/log_sink.hpp"
#include "prefix/warmup.hpp"
#include "settings/settings.hpp"
#include "shell/main_window.hpp"
#include "shell/warmup_hook.hpp"
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

// Started while the main window is read, the prefix runs Wine's own processes
// and a server of its own: the run first stops them, so that it starts the
// prefix itself and the server's trace reaches the log like Wine's own.
bool warm_up_through_the_window(GtkWidget *window, const std::string &prefix) {
  warm_prefix_when_drawn(window);
  auto warm = [&] {
    for (int pid : wine::windows_pids(prefix))
      if (wine::command_line(pid).find("services.exe") != std::string::npos)
        return warmup::running();
    return false;
  };
  const gint64 until = g_get_monotonic_time() + 60 * G_USEC_PER_SEC;
  while (!warm() && g_get_monotonic_time() < until)
    if (!g_main_context_iteration(nullptr, FALSE))
      g_usleep(10000);
  return warm();
}

TEST(DebugCaptureWine, CmdExeOutputLandsInRotatedFilesThatBeginWithTheSystemInformation) {
  g_setenv("GSETTINGS_BACKEND", "memory", TRUE);
  const struct {
    const char *name;
    bool warm_up;
    const char *channel; // typed over the preset "  标准日志  ", or null
    const char *size, *unit, *expected;
  } rows[] = {
      {"the preset on a cold prefix", false, nullptr, "8", "KB", ":trace:"},
      {"+server on a prefix started while the window is read", true, "+server", "1", "MB",
       ": init_first_thread("},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
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
    wine_prefix = prefix.path().c_str();
    std::string launcher = wine::launcher();
    std::strcpy(wine_app_path, launcher.c_str());
    std::strcpy(sys_info, "");
    get_sys_info();
    std::string header = sys_info;
    const char *argv[] = {"nivra-wine-helper", "cmd.exe", "/c", "C:\\lines.bat", nullptr};
    app_argv = const_cast<char **>(argv);

    GtkWidget *main_window =
        row.warm_up ? build_main_window() : gtk_window_new(GTK_WINDOW_TOPLEVEL);
    if (row.warm_up) {
      CaptureStdout();
      bool warm = warm_up_through_the_window(main_window, prefix.path());
      GetCapturedStdout();
      ASSERT_TRUE(warm) << "the prefix was not started while the window was read";
    }
    Driver driver(main_window);
    driver
        .then("调试启动",
              [&row](GtkWidget *dialog) {
                gtk_toggle_button_set_active(
                    GTK_TOGGLE_BUTTON(find_check_button(dialog, "启动日志")), TRUE);
                gtk_combo_box_set_active(GTK_COMBO_BOX(log_config_ctrl[2]), 0); // "  标准日志  "
                if (row.channel)
                  gtk_entry_set_text(GTK_ENTRY(log_channel_entry), row.channel);
                // "..." runs dialogs of its own: click it from outside this callback.
                g_idle_add(click_later, log_config_ctrl[7]);
              })
        .until("Save File", save_as(dir / "logs", "wine.log"))
        .then("请设置文件大小以及需要保留最近几个文件", confirm_size(row.size, row.unit, "400"))
        .answer("调试启动", 2)
        .then("打包日志", [](GtkWidget *box) { gtk_dialog_response(GTK_DIALOG(box), 1); });

    CaptureStdout();
    on_debug_app_btn_clicked(nullptr, main_window);
    std::string out = GetCapturedStdout();
    g_signal_handlers_disconnect_by_func(main_window, reinterpret_cast<gpointer>(gtk_main_quit),
                                         nullptr);
    gtk_widget_destroy(main_window);
    app_argv = nullptr;
    wine_prefix = nullptr;
    warmup::end_unused(false);
    for (auto *e : env)
      delete e;

    EXPECT_TRUE(driver.done());
    // The command line entry begins with a blank: three blanks after the channel
    // when the environment text is empty.
    EXPECT_THAT(out,
                HasSubstr("cmdline [WINEDEBUG=" +
                          std::string(row.channel ? row.channel
                                                  : "+pid,+tid,+process,+module,+loaddll,+seh") +
                          "   " + launcher + " cmd.exe /c \"C:\\lines.bat\" 2>&1]\n"));
    EXPECT_THAT(out, HasSubstr("保存的位置: " + dir.path() + "/logs/wine.log\n"));
    EXPECT_EQ(mycat, nullptr);

    // Read the files back oldest first; every one starts with the header.
    std::map<int, std::string> files;
    for (const auto &entry : std::filesystem::directory_iterator(dir / "logs")) {
      std::string name = entry.path().filename();
      ASSERT_THAT(name, StartsWith("wine.log."));
      files[std::stoi(name.substr(9))] = read_file(entry.path());
    }
    if (!row.warm_up) {
      ASSERT_GE(files.size(), 2u) << "the run should have rolled at least once";
    }
    std::string all;
    for (auto it = files.rbegin(); it != files.rend(); ++it) {
      EXPECT_THAT(it->second, StartsWith(header)) << "file " << it->first;
      all += it->second.substr(header.size());
    }
    // Wine's own trace lines and the program's lines, in order.
    EXPECT_THAT(all, HasSubstr(row.expected));
    EXPECT_THAT(all, HasSubstr(" INFO     nivra-wine- "));
    EXPECT_THAT(all, HasSubstr("nivra-line-"));
    // The server writes into the same pipe as the program, at any point of its lines.
    if (row.warm_up)
      continue;
    size_t at = 0;
    for (int i = 1; i <= 40; ++i) {
      at = all.find("nivra-line-" + std::to_string(i) + "\r\n", at);
      ASSERT_NE(at, std::string::npos) << "line " << i;
    }
  }
}

} // namespace

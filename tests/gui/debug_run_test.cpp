// process_debug_log reads the dialog's real entries: which text goes where in the
// command, and which mode runs.
#include "debuglog/debug_dialog.hpp"
#include "debuglog/debug_run.hpp"
#include "debuglog/log_sink.hpp"
#include "dialog_driver.hpp"
#include "run_modes.hpp"
#include "settings/settings.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

using namespace testsupport;

class ProcessDebugLogTest : public testing::Test {
protected:
  void SetUp() override {
    cmdline_entry = make_entry("sh -c 'echo \"[$WINEDEBUG][${NIVRA_RUN_EXTRA-unset}]\" > " +
                               tmp / "seen" + "; echo captured-line'");
    log_channel_entry = make_entry("+relay,+seh");
    env_entry = make_entry("NIVRA_RUN_EXTRA=typed");
    saved_threads_ = multi_thread_num;
    std::memcpy(saved_sys_info_, sys_info, sizeof sys_info);
    std::snprintf(sys_info, sizeof sys_info, "debug run test header\n");
  }
  void TearDown() override {
    for (GtkWidget **w : {&cmdline_entry, &log_channel_entry, &env_entry}) {
      g_object_unref(*w);
      *w = nullptr;
    }
    g_free(log_file_path);
    log_file_path = nullptr;
    log_enabled = 0;
    multi_thread_num = saved_threads_;
    std::memcpy(sys_info, saved_sys_info_, sizeof sys_info);
    if (mycat)
      log4c_category_delete(mycat);
    mycat = nullptr;
  }
  static GtkWidget *make_entry(const std::string &text) {
    GtkWidget *e = gtk_entry_new();
    g_object_ref_sink(e);
    gtk_entry_set_text(GTK_ENTRY(e), text.c_str());
    return e;
  }
  std::string seen() { return read_file(tmp / "seen"); }

  TempDir tmp;
  ScopedEnv no_winedebug{"WINEDEBUG", std::nullopt};
  ScopedEnv no_extra{"NIVRA_RUN_EXTRA", std::nullopt};
  int saved_threads_ = 0;
  char saved_sys_info_[sizeof sys_info];
};

TEST_F(ProcessDebugLogTest, Modes) {
  for (const RunMode &mode : kRunModes) {
    for (int threads : {0, 2}) {
      SCOPED_TRACE(std::string(mode.name) + ", " + std::to_string(threads) + " writers");
      multi_thread_num = threads;
      log_enabled = mode.logging;
      g_free(log_file_path);
      log_file_path = mode.file ? g_strdup((tmp / "run.log").c_str()) : nullptr;
      CaptureStdout();
      CaptureStderr();
      if (mode.captured())
        init_log_sink(tmp.path().c_str(), "run.log", 1 << 20, 3);
      // Logging without a file captures nothing, and the window says so.
      Driver driver(nullptr);
      if (mode.logging && !mode.file)
        driver.answer("提示", 2);
      EXPECT_TRUE(process_debug_log());
      std::string out = GetCapturedStdout();
      GetCapturedStderr();
      EXPECT_TRUE(driver.done());
      if (mode.logging && !mode.file)
        EXPECT_THAT(driver.seen, ElementsAre("提示: 没有选择日志文件，这次运行的输出没有记录。"));
      else
        EXPECT_THAT(driver.seen, IsEmpty());
      EXPECT_EQ(seen(), mode.logging ? "[+relay,+seh][typed]\n" : "[][unset]\n");
      if (!mode.captured()) {
        EXPECT_EQ(out, "captured-line\n");
        continue;
      }
      EXPECT_THAT(out, HasSubstr("cmdline [WINEDEBUG=+relay,+seh NIVRA_RUN_EXTRA=typed sh -c "));
      EXPECT_EQ(mycat, nullptr);
      const std::string log = read_file(tmp / "run.log.0");
      EXPECT_THAT(log, StartsWith("debug run test header\n"));
      EXPECT_THAT(log, HasSubstr(" INFO     nivra-wine- captured-line\n"));
    }
  }
}

} // namespace

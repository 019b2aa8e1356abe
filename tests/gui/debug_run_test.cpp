// process_debug_log reads the dialog's real entries: which text goes where in the
// command, and which mode runs.
#include "debuglog/debug_dialog.hpp"
#include "debuglog/debug_run.hpp"
#include "debuglog/log_sink.hpp"
#include "settings/settings.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

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
  std::string seen() { return testsupport::read_file(tmp / "seen"); }

  testsupport::TempDir tmp;
  testsupport::ScopedEnv no_winedebug{"WINEDEBUG", std::nullopt};
  testsupport::ScopedEnv no_extra{"NIVRA_RUN_EXTRA", std::nullopt};
  int saved_threads_ = 0;
  char saved_sys_info_[sizeof sys_info];
};

TEST_F(ProcessDebugLogTest, LoggingOffRunsOnlyTheCommandLine) {
  log_enabled = 0;
  log_file_path = g_strdup((tmp / "x.log").c_str());
  CaptureStdout();
  process_debug_log();
  EXPECT_EQ(GetCapturedStdout(), "captured-line\n");
  EXPECT_EQ(seen(), "[][unset]\n");
}

TEST_F(ProcessDebugLogTest, LoggingWithoutFileSetsChannelAndEnvironment) {
  log_enabled = 1;
  CaptureStdout();
  process_debug_log();
  EXPECT_EQ(GetCapturedStdout(), "captured-line\n");
  EXPECT_EQ(seen(), "[+relay,+seh][typed]\n");
}

TEST_F(ProcessDebugLogTest, CapturedRunWritesTheLogFile) {
  for (int threads : {0, 2}) {
    multi_thread_num = threads;
    log_enabled = 1;
    g_free(log_file_path);
    log_file_path = g_strdup((tmp / "run.log").c_str());
    CaptureStdout();
    CaptureStderr();
    init_log_sink(tmp.path().c_str(), "run.log", 1 << 20, 3);
    process_debug_log();
    std::string out = GetCapturedStdout();
    GetCapturedStderr();
    EXPECT_NE(out.find("cmdline [WINEDEBUG=+relay,+seh NIVRA_RUN_EXTRA=typed sh -c "),
              std::string::npos)
        << out;
    EXPECT_EQ(seen(), "[+relay,+seh][typed]\n");
    EXPECT_EQ(mycat, nullptr);
    const std::string log = testsupport::read_file(tmp / "run.log.0");
    EXPECT_EQ(log.rfind("debug run test header\n", 0), 0u) << log;
    EXPECT_NE(log.find(" INFO     nivra-wine- captured-line\n"), std::string::npos) << log;
  }
}

} // namespace

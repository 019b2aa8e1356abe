// process_debug_log reads the dialog's real entries: which text goes where in the
// command, and which mode runs.
#include "debug/debug_dialog.hpp"
#include "debug/debug_run.hpp"
#include "dialog_driver.hpp"
#include "log/log_queue.hpp"
#include "log/log_sink.hpp"
#include "run_modes.hpp"
#include "settings/settings.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
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

// A huge MULTI_THREAD_NUM under a low process limit: the writers are capped and the program
// still gets room to run, at once.
TEST_F(ProcessDebugLogTest, HugeWriterCountUnderALowProcessLimitRunsAtOnce) {
  chmod(tmp.path().c_str(), 0755);
  const std::string logs = tmp / "logs";
  make_dirs(logs);
  if (geteuid() == 0) {
    ASSERT_EQ(chown(logs.c_str(), 65534, 65534), 0);
  }
  gtk_entry_set_text(GTK_ENTRY(cmdline_entry), "echo captured-line");
  const auto start = std::chrono::steady_clock::now();
  // Root is not held to the limit: the run is made by a user it binds.
  ProcResult run = run_in_child(
      [&] {
        alarm(30); // what a writer loop that never gives up would take for ever
        const rlim_t cap = static_cast<rlim_t>(log_user_tasks(getuid())) + 6;
        const rlimit limit{cap, cap};
        if (setrlimit(RLIMIT_NPROC, &limit) != 0)
          return 3;
        multi_thread_num = 2000000000;
        log_enabled = 1;
        log_file_path = g_strdup((logs + "/run.log").c_str());
        init_log_sink(logs.c_str(), "run.log", 1 << 20, 3);
        process_debug_log();
        return read_file(logs + "/run.log.0").find(" INFO     nivra-wine- captured-line\n") !=
                       std::string::npos
                   ? 0
                   : 4;
      },
      true);
  if (run.status == kNoUnprivilegedUser)
    GTEST_SKIP() << "cannot switch to an unprivileged user here";
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_THAT(run.err, HasSubstr("警告：MULTI_THREAD_NUM 为 2000000000，本机此时最多用 "));
}

} // namespace

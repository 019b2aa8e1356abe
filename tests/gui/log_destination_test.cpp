#include "debug/capture.hpp"
#include "debug/debug_dialog.hpp"
#include "debug/log_destination_dialog.hpp"
#include "dialog_driver.hpp"
#include "log/log_place.hpp"
#include "log/log_sink.hpp"
#include "test_support.hpp"
#include "util/own.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstring>
#include <fstream>

#include <deque>
#include <functional>
#include <string>
#include <vector>

using namespace testsupport;

namespace {

const char *const kSizeTitle = "请设置文件大小以及需要保留最近几个文件";

class LogDestinationTest : public testing::Test {
protected:
  static void SetUpTestSuite() { g_setenv("GSETTINGS_BACKEND", "memory", TRUE); }

  void SetUp() override {
    dialog = gtk_dialog_new();
    gtk_window_set_title(GTK_WINDOW(dialog), "调试启动");
    log_file_entry = gtk_entry_new();
    gtk_entry_set_max_length(GTK_ENTRY(log_file_entry), 255);
    gtk_entry_set_text(GTK_ENTRY(log_file_entry), "shown before");
    gtk_container_add(GTK_CONTAINER(gtk_dialog_get_content_area(GTK_DIALOG(dialog))),
                      log_file_entry);
    gtk_widget_show_all(dialog);
    log_file_path = nullptr;
  }

  void TearDown() override {
    gtk_widget_destroy(dialog);
    pump();
    log_file_entry = nullptr;
    g_free(log_file_path);
    log_file_path = nullptr;
    if (mycat)
      log4c_category_delete(mycat);
    mycat = nullptr;
  }

  // Presses "..." with the driver answering; collects the standard streams.
  void press(Driver &driver) {
    CaptureStdout();
    CaptureStderr();
    on_log_file_btn_clicked(nullptr, dialog);
    out = GetCapturedStdout();
    err = GetCapturedStderr();
    EXPECT_TRUE(driver.done()) << "a dialog the test expected never came";
  }

  void give_earlier_sink() {
    mycat = log4c_category_new("nivra-wine");
    ASSERT_NE(mycat, nullptr);
  }

  std::string entry_text() const { return gtk_entry_get_text(GTK_ENTRY(log_file_entry)); }

  TempDir dir;
  // Claims are kept in the user's runtime folder: one of the test's own, gone with it.
  TempDir runtime;
  ScopedEnv xdg{"XDG_RUNTIME_DIR", runtime.path()};
  GtkWidget *dialog = nullptr;
  std::string out, err;
};

// "_Cancel", Escape and the window's close button all cancel, as everywhere on the desktop: an
// earlier choice stays as it was (the path, the field, the sink), no size is asked.
TEST_F(LogDestinationTest, ChooserCancelledInAnyWayKeepsTheEarlierChoice) {
  const struct {
    const char *how;
    std::function<void(GtkWidget *)> cancel;
  } ways[] = {
      {"_Cancel",
       [&](GtkWidget *w) {
         GtkFileChooser *chooser = GTK_FILE_CHOOSER(w);
         EXPECT_EQ(gtk_file_chooser_get_action(chooser), GTK_FILE_CHOOSER_ACTION_SAVE);
         gchar *name = gtk_file_chooser_get_current_name(chooser);
         EXPECT_STREQ(name, "Untitled.log");
         g_free(name);
         EXPECT_FALSE(gtk_file_chooser_get_do_overwrite_confirmation(chooser));
         EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(w)), GTK_WINDOW(dialog));
         auto label = [&](int response) {
           GtkWidget *b = gtk_dialog_get_widget_for_response(GTK_DIALOG(w), response);
           return std::string(b ? gtk_button_get_label(GTK_BUTTON(b)) : "none");
         };
         EXPECT_EQ(label(GTK_RESPONSE_CANCEL), "_Cancel");
         EXPECT_EQ(label(GTK_RESPONSE_ACCEPT), "_Save");
         gtk_button_clicked(
             GTK_BUTTON(gtk_dialog_get_widget_for_response(GTK_DIALOG(w), GTK_RESPONSE_CANCEL)));
       }},
      // A key pressed before the chooser has taken the focus may go nowhere: again until it
      // answers.
      {"Escape",
       [](GtkWidget *w) {
         g_signal_connect_after(w, "response", G_CALLBACK(mark_responded), nullptr);
         const gint64 until = g_get_monotonic_time() + 5 * G_USEC_PER_SEC;
         while (!g_object_get_data(G_OBJECT(w), "responded") && g_get_monotonic_time() < until) {
           press_key(w, GDK_KEY_Escape);
           for (int k = 0; k < 20 && g_main_context_iteration(nullptr, FALSE); ++k) {
           }
         }
       }},
      {"closed", [](GtkWidget *w) { gtk_window_close(GTK_WINDOW(w)); }},
  };
  const std::string earlier = dir / "earlier.log";
  write_file(earlier, "old");
  for (bool chosen_before : {true, false}) {
    for (const auto &way : ways) {
      SCOPED_TRACE(std::string(way.how) + (chosen_before ? ", a log chosen before" : ""));
      g_free(log_file_path);
      log_file_path = chosen_before ? g_strdup(earlier.c_str()) : nullptr;
      gtk_entry_set_text(GTK_ENTRY(log_file_entry), chosen_before ? earlier.c_str() : "");
      if (!mycat)
        give_earlier_sink();
      log4c_category_t *sink = mycat;
      Driver driver(dialog);
      driver.then("Save File", way.cancel);
      press(driver);
      EXPECT_THAT(driver.seen, ElementsAre("Save File")) << "nothing more is asked";
      EXPECT_EQ(log_file_path ? std::string(log_file_path) : "", chosen_before ? earlier : "");
      EXPECT_EQ(entry_text(), chosen_before ? earlier : "");
      EXPECT_EQ(mycat, sink);
      EXPECT_EQ(read_file(earlier), "old");
      EXPECT_EQ(out, "");
    }
  }
}

// The file there is deleted only once the size is confirmed too: "否", or "取消" in the size
// dialog after "是", leaves it as it was, and no destination.
TEST_F(LogDestinationTest, OverwriteQuestionDeletesTheFileOnlyOnceEverythingIsConfirmed) {
  const struct {
    const char *name;
    int answer;
    std::function<void(GtkWidget *)> size; // nullptr: no size dialog
    bool configured;
  } rows[] = {
      {"yes and a size", GTK_RESPONSE_YES, confirm_size("5", "MB", "3"), true},
      {"no", GTK_RESPONSE_NO, nullptr, false},
      {"yes, then the size cancelled", GTK_RESPONSE_YES,
       [](GtkWidget *w) { gtk_dialog_response(GTK_DIALOG(w), 1); }, false},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    write_file(dir / "app.log", "old");
    if (!mycat)
      give_earlier_sink();
    Driver driver(dialog);
    driver.until("Save File", save_as(dir.path(), "app.log")).then("Question", [&](GtkWidget *w) {
      EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(w)), GTK_WINDOW(dialog));
      EXPECT_TRUE(gtk_window_get_destroy_with_parent(GTK_WINDOW(w)));
      EXPECT_TRUE(exists(dir / "app.log")); // not deleted before the answer
      gtk_dialog_response(GTK_DIALOG(w), row.answer);
    });
    if (row.size)
      driver.then(kSizeTitle, [&](GtkWidget *w) {
        EXPECT_TRUE(exists(dir / "app.log")) << "deleted before the size was confirmed";
        row.size(w);
      });
    press(driver);
    std::vector<std::string> expected = {"Save File", "Question: 文件已存在确定覆盖吗?"};
    if (row.size)
      expected.push_back(kSizeTitle);
    EXPECT_EQ(driver.seen, expected);
    EXPECT_EQ(exists(dir / "app.log"), !row.configured);
    if (!row.configured) {
      EXPECT_EQ(read_file(dir / "app.log"), "old");
      EXPECT_EQ(log_file_path, nullptr);
      EXPECT_EQ(mycat, nullptr);
      EXPECT_EQ(entry_text(), "") << "the field shows no file when none is chosen";
      EXPECT_EQ(out, "");
      continue;
    }
    EXPECT_STREQ(log_file_path, (dir / "app.log").c_str());
    EXPECT_EQ(entry_text(), dir / "app.log");
    EXPECT_NE(mycat, nullptr);
    EXPECT_THAT(out,
                EndsWith("dir: " + dir.path() + ", filename: app.log, size: 5242880, num: 3\n"));
  }
}

TEST_F(LogDestinationTest, LongPathIsShownCutButKeptWhole) {
  std::string deep = dir.path();
  while (deep.size() < 300)
    deep += "/" + std::string(60, 'p');
  make_dirs(deep);
  std::string path = deep + "/long.log";
  Driver driver(dialog);
  driver.until("Save File", save_as(deep, "long.log"))
      .then(kSizeTitle, confirm_size("1", nullptr, nullptr));
  press(driver);
  EXPECT_STREQ(log_file_path, path.c_str());
  EXPECT_EQ(entry_text(), path.substr(0, 255));
  EXPECT_THAT(out, HasSubstr("dir: " + deep + ", filename: long.log, size: 1024, num: 1\n"));
}

TEST_F(LogDestinationTest, SizeDialogLayoutAndKilobytesPreselected) {
  Driver driver(dialog);
  driver.until("Save File", save_as(dir.path(), "k.log")).then(kSizeTitle, [&](GtkWidget *w) {
    EXPECT_TRUE(gtk_window_get_modal(GTK_WINDOW(w)));
    EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(w)), GTK_WINDOW(dialog));
    int width = 0, height = 0;
    gtk_widget_get_size_request(w, &width, &height);
    EXPECT_EQ(width, 600);
    EXPECT_EQ(height, 400);
    std::vector<std::string> buttons;
    GtkWidget *action_area =
        gtk_widget_get_parent(gtk_dialog_get_widget_for_response(GTK_DIALOG(w), 1));
    for (GtkWidget *b : children(action_area))
      buttons.push_back(std::string(gtk_button_get_label(GTK_BUTTON(b))) + "=" +
                        std::to_string(gtk_dialog_get_response_for_widget(GTK_DIALOG(w), b)));
    EXPECT_THAT(buttons, ElementsAre("取消=1", "确定=2"));
    SizeRow row = size_row(w);
    EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(row.size_label)), "每个文件大小:");
    EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(row.size)), "");
    EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(row.count_label)), "最大保存文件个数:");
    EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(row.count)), "1");
    GtkTreeModel *model = gtk_combo_box_get_model(GTK_COMBO_BOX(row.unit));
    std::vector<std::string> units;
    GtkTreeIter it;
    for (gboolean ok = gtk_tree_model_get_iter_first(model, &it); ok;
         ok = gtk_tree_model_iter_next(model, &it)) {
      gchar *text = nullptr;
      gtk_tree_model_get(model, &it, 0, &text, -1);
      units.emplace_back(text);
      g_free(text);
    }
    EXPECT_THAT(units, ElementsAre("B", "KB", "MB", "GB"));
    EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(row.unit)), 1);
    // Only the size is typed: the preselected unit and the count of 1 apply. Enter in
    // the field confirms.
    fill_size(w, "20", nullptr, nullptr);
    EXPECT_TRUE(press_enter(w, row.size));
  });
  press(driver);
  EXPECT_THAT(out, HasSubstr("dir: " + dir.path() + ", filename: k.log, size: 20480, num: 1\n"));
}

TEST_F(LogDestinationTest, SizeWarningsComeInOrderAndKeepTheInput) {
  give_earlier_sink();
  Driver driver(dialog);
  auto warning_ok = [&](GtkWidget *w) {
    EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(w)), GTK_WINDOW(dialog));
    gtk_dialog_response(GTK_DIALOG(w), GTK_RESPONSE_OK);
  };
  driver
      .until("Save File", save_as(dir.path(), "w.log"))
      // Both fields invalid at once: only the size is reported.
      .then(kSizeTitle, confirm_size("abc", nullptr, "0"))
      .then("Warning", warning_ok)
      .then(kSizeTitle,
            [&](GtkWidget *w) {
              SizeRow row = size_row(w);
              EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(row.size)), "abc");
              EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(row.count)), "0");
              fill_size(w, "5", nullptr, nullptr);
              gtk_dialog_response(GTK_DIALOG(w), 2);
            })
      .then("Warning", warning_ok)
      .answer(kSizeTitle, 1);
  press(driver);
  EXPECT_THAT(driver.seen,
              ElementsAre("Save File", kSizeTitle, "Warning: 每个文件大小 无效\n请重新输入",
                          kSizeTitle, "Warning: 最大保存文件个数 无效\n请重新输入", kSizeTitle));
  EXPECT_EQ(log_file_path, nullptr);
  EXPECT_EQ(mycat, nullptr);
  EXPECT_EQ(entry_text(), "") << "the field shows no file when none is chosen";
  EXPECT_EQ(out, "");
}

TEST_F(LogDestinationTest, SizesAndCountsThatDoNotFitAreWarnedAbout) {
  Driver driver(dialog);
  driver.until("Save File", save_as(dir.path(), "big.log"))
      .then(kSizeTitle, confirm_size("1.5", "MB", "2"))
      .answer("Warning", GTK_RESPONSE_OK)
      .then(kSizeTitle, confirm_size("8589934592", "GB", "2"))
      .answer("Warning", GTK_RESPONSE_OK)
      .then(kSizeTitle, confirm_size("8589934591", "GB", "2147483648"))
      .answer("Warning", GTK_RESPONSE_OK)
      .then(kSizeTitle, confirm_size(nullptr, nullptr, "2147483647"));
  press(driver);
  ASSERT_EQ(driver.seen.size(), 8u);
  EXPECT_EQ(driver.seen[2], "Warning: 每个文件大小 无效\n请重新输入");
  EXPECT_EQ(driver.seen[4], "Warning: 每个文件大小 无效\n请重新输入");
  EXPECT_EQ(driver.seen[6], "Warning: 最大保存文件个数 无效\n请重新输入");
  EXPECT_THAT(out, HasSubstr(", filename: big.log, size: 9223372035781033984, num: 2147483647\n"));
}

TEST_F(LogDestinationTest, SizeDialogEndedOtherwiseDeliversNothing) {
  struct {
    std::function<void(GtkWidget *)> end;
    const char *message;
  } cases[] = {{[](GtkWidget *w) { gtk_widget_destroy(w); }, "unknowed -1\n"},
               {[](GtkWidget *w) { gtk_dialog_response(GTK_DIALOG(w), 7); }, "unknowed 7\n"}};
  for (const auto &c : cases) {
    Driver driver(dialog);
    driver.until("Save File", save_as(dir.path(), "u.log")).then(kSizeTitle, c.end);
    press(driver);
    EXPECT_THAT(err, HasSubstr(c.message));
    EXPECT_EQ(log_file_path, nullptr);
    EXPECT_EQ(out, "");
    // A dialog that answered oddly does not stay on screen.
    GList *list = gtk_window_list_toplevels();
    for (GList *l = list; l; l = l->next)
      EXPECT_STRNE(gtk_window_get_title(GTK_WINDOW(l->data)), kSizeTitle);
    g_list_free(list);
  }
}

std::string captured_print;
void capture_print(const gchar *s) { captured_print += s; }

TEST_F(LogDestinationTest, PrefixQuestionsForRegularFilesInListingOrder) {
  for (const char *f : {"Untitled.log.0", "Untitled.log.1", "Untitled.log.bak", "untitled.log.2"})
    write_file(dir / f, "x");
  make_dirs(dir / "Untitled.log.d");
  std::vector<std::string> listed;
  DIR *d = opendir(dir.path().c_str());
  while (const dirent *e = readdir(d))
    if (std::string(e->d_name).starts_with("Untitled.log.") &&
        std::string(e->d_name) != "Untitled.log.d")
      listed.emplace_back(e->d_name);
  closedir(d);
  ASSERT_EQ(listed.size(), 3u);

  Driver driver(dialog);
  driver.until("Save File", save_as(dir.path(), "Untitled.log"))
      .then(kSizeTitle, confirm_size("1", "KB", "2"));
  for (const std::string &name : listed)
    driver.then("确认删除", [&, name](GtkWidget *w) {
      EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(w)), GTK_WINDOW(dialog));
      EXPECT_EQ(entry_text(), "shown before"); // the entry changes after the scan
      gtk_dialog_response(GTK_DIALOG(w),
                          name == "Untitled.log.1" ? GTK_RESPONSE_NO : GTK_RESPONSE_YES);
    });
  captured_print.clear();
  GPrintFunc old = g_set_print_handler(capture_print);
  press(driver);
  g_set_print_handler(old);

  std::vector<std::string> expected = {"Save File", kSizeTitle};
  for (const std::string &name : listed)
    expected.push_back("确认删除: 检测到存在相同前缀文件: " + name + "\n是否删除？");
  EXPECT_EQ(driver.seen, expected);
  EXPECT_FALSE(exists(dir / "Untitled.log.0"));
  EXPECT_TRUE(exists(dir / "Untitled.log.1"));
  EXPECT_FALSE(exists(dir / "Untitled.log.bak"));
  EXPECT_TRUE(exists(dir / "untitled.log.2"));
  EXPECT_TRUE(exists(dir / "Untitled.log.d"));
  std::string deleted;
  for (const std::string &name : listed)
    if (name != "Untitled.log.1")
      deleted += "文件 " + (dir / name) + " 删除成功\n";
  EXPECT_EQ(captured_print, deleted);
  EXPECT_EQ(entry_text(), dir / "Untitled.log");
  EXPECT_THAT(out, HasSubstr("size: 1024, num: 2\n"));
}

// Another user plants dbg.log.0, a link to the victim's own file, in a shared sticky folder,
// and folders at .1 and .2 so that no roll can move it: the box names them when the log is
// chosen (not .7, which three files never reach), the other user's dbg.log.old is not offered
// for deletion, and the run's output never reaches the link's target.
TEST_F(LogDestinationTest, PlantedLinkInAStickyFolderIsNamedAndNeverWritten) {
  if (geteuid() != 0)
    GTEST_SKIP() << "a second user can only be played by root";
  chmod(dir.path().c_str(), 0755);
  const std::string shared = dir / "shared", victim = dir / "bashrc";
  make_dirs(shared);
  chmod(shared.c_str(), 01777);
  write_file(victim, "echo safe\n");
  ProcResult planted = run_in_child(
      [&] {
        return symlink(victim.c_str(), (shared + "/dbg.log.0").c_str()) == 0 &&
                       mkdir((shared + "/dbg.log.1").c_str(), 0755) == 0 &&
                       mkdir((shared + "/dbg.log.2").c_str(), 0755) == 0 &&
                       symlink(victim.c_str(), (shared + "/dbg.log.7").c_str()) == 0 &&
                       creat((shared + "/dbg.log.old").c_str(), 0666) >= 0
                   ? 0
                   : 1;
      },
      true);
  if (planted.status == kNoUnprivilegedUser)
    GTEST_SKIP() << "cannot switch to an unprivileged user here";
  ASSERT_EQ(planted.status, 0) << planted.err;

  Driver driver(dialog);
  driver.until("Save File", save_as(shared, "dbg.log"))
      .then(kSizeTitle, confirm_size("1", "KB", "3"))
      .answer("Warning", GTK_RESPONSE_OK);
  press(driver);
  EXPECT_THAT(driver.seen,
              ElementsAre("Save File", kSizeTitle,
                          "Warning: 这些文件不是您自己的普通文件，日志不会写入、移动或删除：\n"
                          "dbg.log.0\ndbg.log.1\ndbg.log.2\n这个名字的日志无法正常轮转，建议换一"
                          "个文件名或文件夹。"));
  ASSERT_NE(mycat, nullptr);
  CaptureStdout();
  CaptureStderr();
  capture::run_captured("", "", "echo 'touch pwned'", 0);
  GetCapturedStdout();
  const std::string run_err = GetCapturedStderr();
  EXPECT_EQ(read_file(victim), "echo safe\n");
  EXPECT_THAT(run_err, HasSubstr("dbg.log.2 不是您自己的普通文件"));
  EXPECT_THAT(run_err, HasSubstr("touch pwned\n"));
  struct stat st {};
  ASSERT_EQ(lstat((shared + "/dbg.log.0").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
}

// A file chosen directly under "/" leaves an empty folder text, which cannot be opened.
TEST_F(LogDestinationTest, EmptyFolderTextCannotBeOpenedAndAsksNothing) {
  Driver driver(dialog);
  CaptureStderr();
  check_same_prefix_files(GTK_WINDOW(dialog), "", "x.log");
  EXPECT_EQ(GetCapturedStderr(), "无法打开目录: No such file or directory\n");
  EXPECT_TRUE(driver.seen.empty());
}

// Another helper's debug run writing dir/NAME.N, as a child process holds it.
class RunningSeries {
public:
  RunningSeries(const std::string &dir, const char *name) {
    int ready[2];
    EXPECT_EQ(pipe2(ready, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(stop_, O_CLOEXEC), 0);
    pid_ = fork();
    if (pid_ == 0) {
      close(stop_[1]); // read sees the end when the parent closes its end
      char c = log_place::claim(dir.c_str(), name) ? 'y' : 'n';
      (void)!write(ready[1], &c, 1);
      (void)!read(stop_[0], &c, 1);
      _exit(0);
    }
    close(ready[1]);
    close(stop_[0]);
    char c = 0;
    EXPECT_EQ(read(ready[0], &c, 1), 1);
    EXPECT_EQ(c, 'y');
    close(ready[0]);
  }
  ~RunningSeries() {
    close(stop_[1]);
    waitpid(pid_, nullptr, 0);
  }

private:
  int stop_[2] = {-1, -1};
  pid_t pid_ = -1;
};

// A place that cannot take the log, or a series that another debug run is writing, is
// said in a box when chosen and leaves no destination; nothing of the running log goes.
TEST_F(LogDestinationTest, PlaceThatCannotTakeTheLogIsSaidAndNotChosen) {
  for (const char *f : {"two.log.0", "two.log.1", "two.txt"})
    write_file(dir / f, "running");
  RunningSeries running(dir.path(), "two.log");
  const struct {
    std::string folder, name, box;
  } rows[] = {
      {"/proc/1", "nolog.log", "错误: 无法在文件夹 /proc/1 中写入日志，请选择其他位置。"},
      {dir.path(), "two.log",
       "错误: " + dir / "two.log" + " 正在被另一个调试运行写入，请选择其他名称。"},
      {dir.path(), "two.log.0",
       "错误: " + dir / "two.log.0" + " 正在被另一个调试运行写入，请选择其他名称。"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    give_earlier_sink();
    Driver driver(dialog);
    driver.until("Save File", save_as(row.folder, row.name)).answer("错误", 2);
    press(driver);
    EXPECT_THAT(driver.seen, ElementsAre("Save File", row.box));
    EXPECT_EQ(log_file_path, nullptr);
    EXPECT_EQ(mycat, nullptr);
    EXPECT_EQ(entry_text(), "");
    EXPECT_THAT(err, StartsWith("错误："));
  }
  // A shorter name offers the user's own file, but nothing of the running series.
  Driver driver(dialog);
  driver.until("Save File", save_as(dir.path(), "two"))
      .then(kSizeTitle, confirm_size("1", "KB", "2"))
      .answer("确认删除", GTK_RESPONSE_NO);
  press(driver);
  EXPECT_THAT(driver.seen, ElementsAre("Save File", kSizeTitle,
                                       "确认删除: 检测到存在相同前缀文件: two.txt\n是否删除？"));
  for (const char *f : {"two.log.0", "two.log.1"})
    EXPECT_EQ(read_file(dir / f), "running");
  EXPECT_EQ(entry_text(), dir / "two");
}

// Runs body as uid (and gid) in a child; its result is the exit status, 99 when the switch fails.
int as_user(uid_t uid, const std::function<int()> &body) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0)
    _exit(setgroups(0, nullptr) == 0 && setgid(uid) == 0 && setuid(uid) == 0 ? body() : 99);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

// Another local user binds every name of a claim it can compute (the abstract socket names
// claims once had), makes the fallback folder in /tmp first and looks for the names in use:
// the victim still chooses the log, nothing of the claim is seen, and the user's own second
// helper is still refused.
TEST_F(LogDestinationTest, AnotherUserCanNeitherHoldNorSeeAClaim) {
  if (geteuid() != 0)
    GTEST_SKIP() << "a second user can only be played by root";
  chmod(dir.path().c_str(), 0755);
  chmod(runtime.path().c_str(), 0700);
  struct stat st {};
  ASSERT_EQ(stat(dir.path().c_str(), &st), 0);
  const std::string key = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + "/dbg.log";
  own::gchars sum(g_compute_checksum_for_string(G_CHECKSUM_SHA256, key.c_str(), -1));
  const std::string old_name = std::string("nivra-wine-helper/log/") + sum.get();
  int hold[2], ready[2];
  ASSERT_EQ(pipe(hold), 0);
  ASSERT_EQ(pipe(ready), 0);
  std::fflush(nullptr);
  const pid_t squatter = fork();
  if (squatter == 0) {
    close(hold[1]);
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
      _exit(99);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path + 1, old_name.data(), old_name.size());
    const bool bound =
        bind(fd, reinterpret_cast<sockaddr *>(&addr),
             static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + old_name.size())) == 0;
    const bool blocked = mkdir((runtime.path() + "/nivra-wine-helper").c_str(), 0777) != 0;
    char c = bound && blocked ? 'y' : 'n';
    (void)!write(ready[1], &c, 1);
    (void)!read(hold[0], &c, 1);
    _exit(0);
  }
  close(hold[0]);
  close(ready[1]);
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, 'y') << "the other user could not bind or was let into the runtime folder";

  Driver driver(dialog);
  driver.until("Save File", save_as(dir.path(), "dbg.log"))
      .then(kSizeTitle, confirm_size("1", "KB", "2"));
  press(driver);
  EXPECT_THAT(driver.seen, ElementsAre("Save File", kSizeTitle)) << "the claim was refused";
  EXPECT_STREQ(log_file_path, (dir / "dbg.log").c_str());
  // While it is held: nothing of it in the socket table, and its folder is closed to others.
  EXPECT_EQ(as_user(65534,
                    [&] {
                      std::ifstream unix_table("/proc/net/unix");
                      std::string table((std::istreambuf_iterator<char>(unix_table)), {});
                      // Only the other user's own socket has such a name.
                      std::size_t named = 0;
                      for (std::size_t at = table.find("nivra-wine-helper");
                           at != std::string::npos; at = table.find("nivra-wine-helper", at + 1))
                        ++named;
                      const bool listed =
                          opendir((runtime.path() + "/nivra-wine-helper").c_str()) != nullptr;
                      return named == 1 && !listed ? 0 : 1;
                    }),
            0);
  // The user's own second helper is refused, as before.
  EXPECT_EQ(as_user(0,
                    [&] {
                      return !log_place::claim(dir.path().c_str(), "dbg.log") &&
                                     errno == EADDRINUSE &&
                                     log_place::in_use(dir.path().c_str(), "dbg.log.0")
                                 ? 0
                                 : 1;
                    }),
            0);
  close(hold[1]);
  waitpid(squatter, nullptr, 0);

  // Without a runtime folder claims go to /tmp; another user who made that folder first gets
  // nothing: the claim is kept in the user's own cache instead, and still meets the user's own.
  const uid_t victim = 65533;
  const std::string planted = "/tmp/nivra-wine-helper-" + std::to_string(victim);
  TempDir victim_home;
  chown(victim_home.path().c_str(), victim, victim);
  remove_tree(planted);
  ASSERT_EQ(as_user(65534, [&] { return mkdir(planted.c_str(), 0777) == 0 ? 0 : 1; }), 0);
  ScopedEnv no_xdg("XDG_RUNTIME_DIR", std::nullopt);
  ScopedEnv home("HOME", victim_home.path());
  int first[2], second[2];
  ASSERT_EQ(pipe(first), 0);
  ASSERT_EQ(pipe(second), 0);
  std::fflush(nullptr);
  const pid_t holder = fork();
  if (holder == 0) {
    close(first[0]);
    close(second[1]);
    if (setgroups(0, nullptr) != 0 || setgid(victim) != 0 || setuid(victim) != 0)
      _exit(99);
    char got = log_place::claim(dir.path().c_str(), "dbg2.log") ? 'y' : 'n';
    (void)!write(first[1], &got, 1);
    (void)!read(second[0], &got, 1);
    _exit(0);
  }
  close(first[1]);
  close(second[0]);
  ASSERT_EQ(read(first[0], &c, 1), 1);
  EXPECT_EQ(c, 'y') << "the claim could not be made past the planted folder";
  EXPECT_EQ(
      as_user(victim, [&] { return log_place::in_use(dir.path().c_str(), "dbg2.log") ? 0 : 1; }), 0)
      << "the user's own helpers no longer meet";
  close(second[1]);
  waitpid(holder, nullptr, 0);
  EXPECT_TRUE(exists(victim_home / ".cache/nivra-wine-helper"));
  remove_tree(planted);
}

// The chooser's title and buttons in the session's language, like GTK's own parts of it.
TEST_F(LogDestinationTest, ChooserSpeaksTheSessionLanguage) {
  bindtextdomain("nivra-wine-helper", (build_dir() + "/share/locale").c_str());
  const struct {
    const char *locale, *title, *cancel, *save;
  } rows[] = {{"C.UTF-8", "Save File", "_Cancel", "_Save"},
              {"zh_CN.UTF-8", "保存文件", "取消(_C)", "保存(_S)"}};
  for (const auto &row : rows) {
    SCOPED_TRACE(row.locale);
    ASSERT_NE(std::setlocale(LC_ALL, row.locale), nullptr);
    std::vector<std::string> labels;
    Driver driver(dialog);
    driver.then(row.title, [&](GtkWidget *w) {
      for (int response : {GTK_RESPONSE_CANCEL, GTK_RESPONSE_ACCEPT})
        labels.emplace_back(gtk_button_get_label(
            GTK_BUTTON(gtk_dialog_get_widget_for_response(GTK_DIALOG(w), response))));
      gtk_dialog_response(GTK_DIALOG(w), GTK_RESPONSE_DELETE_EVENT);
    });
    press(driver);
    EXPECT_THAT(labels, ElementsAre(row.cancel, row.save));
  }
  std::setlocale(LC_ALL, "C.UTF-8");
}

} // namespace

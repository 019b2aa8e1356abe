#include "../tools/find_widget.hpp"
#include "debug/debug_dialog.hpp"
#include "debug/debug_run.hpp"
#include "dialog_driver.hpp"
#include "log/log_sink.hpp"
#include "prefix/dpi_reader.hpp"
#include "settings/settings.hpp"
#include "shell/main_window.hpp"
#include "shell/tool_buttons.hpp"
#include "test_support.hpp"
#include "x_ping.hpp"

#include <gdk/gdkx.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <sys/mount.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <functional>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

using namespace testsupport;

namespace {

std::string entry_text(GtkWidget *entry) { return gtk_entry_get_text(GTK_ENTRY(entry)); }

GtkWidget *find_debug_dialog() {
  GtkWidget *found = nullptr;
  GList *list = gtk_window_list_toplevels();
  for (GList *l = list; l; l = l->next) {
    auto *w = GTK_WIDGET(l->data);
    const char *title = gtk_window_get_title(GTK_WINDOW(w));
    if (GTK_IS_DIALOG(w) && gtk_widget_get_visible(w) && title &&
        std::strcmp(title, "调试启动") == 0)
      found = w;
  }
  g_list_free(list);
  return found;
}

void pump() {
  while (gtk_events_pending())
    gtk_main_iteration();
}

// Rows of the open dialog: the vertical box inside the content area and its children.
std::vector<GtkWidget *> rows_of(GtkWidget *dialog) {
  GtkWidget *content = gtk_dialog_get_content_area(GTK_DIALOG(dialog));
  for (GtkWidget *child : children(content))
    if (GTK_IS_BOX(child) &&
        gtk_orientable_get_orientation(GTK_ORIENTABLE(child)) == GTK_ORIENTATION_VERTICAL)
      return children(child);
  return {};
}

GtkWidget *combo_of(GtkWidget *dialog) { return children(rows_of(dialog).at(3)).at(1); }
GtkWidget *log_check_of(GtkWidget *dialog) { return children(rows_of(dialog).at(1)).at(0); }

struct Outcome {
  std::string out, err;
  bool acted = false;
  bool dialog_gone = false;
};

struct Pending {
  std::function<void(GtkWidget *)> act;
  bool acted = false;
  GtkWidget *dialog = nullptr;
};

gboolean answer_when_open(gpointer data) {
  auto *p = static_cast<Pending *>(data);
  GtkWidget *dialog = find_debug_dialog();
  if (!dialog)
    return G_SOURCE_CONTINUE;
  p->dialog = dialog;
  g_object_add_weak_pointer(G_OBJECT(dialog), reinterpret_cast<gpointer *>(&p->dialog));
  p->acted = true;
  p->act(dialog);
  return G_SOURCE_REMOVE;
}

class DebugDialogTest : public testing::Test {
protected:
  void SetUp() override {
    std::strcpy(wine_app_path, "/opt/wine tools/bin/wine");
    parent = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  }
  void TearDown() override {
    gtk_widget_destroy(parent);
    pump();
    app_argv = nullptr;
    wine_app_path[0] = '\0';
  }

  // Presses "调试" (in effect) and lets act answer the dialog from inside its run.
  Outcome open_and(std::function<void(GtkWidget *)> act, GtkWidget *button = nullptr,
                   GtkWidget *main_window = nullptr) {
    Pending pending{std::move(act)};
    guint source = g_timeout_add(10, answer_when_open, &pending);
    CaptureStdout();
    CaptureStderr();
    if (button) {
      // The button's handler runs from the main loop.
      gtk_button_clicked(GTK_BUTTON(button));
      for (int i = 0; i < 500 && !pending.acted; ++i) {
        gtk_main_iteration_do(FALSE);
        g_usleep(1000);
      }
    } else
      on_debug_app_btn_clicked(nullptr, main_window ? main_window : parent);
    Outcome o;
    std::fflush(stdout);
    o.out = GetCapturedStdout();
    o.err = GetCapturedStderr();
    if (!pending.acted)
      g_source_remove(source);
    o.acted = pending.acted;
    o.dialog_gone = pending.dialog == nullptr;
    if (pending.dialog) {
      g_object_remove_weak_pointer(G_OBJECT(pending.dialog),
                                   reinterpret_cast<gpointer *>(&pending.dialog));
      gtk_widget_destroy(pending.dialog);
    }
    pump();
    return o;
  }

  std::string prefilled(std::vector<std::string> args) {
    std::vector<char *> argv{const_cast<char *>("nivra-wine-helper")};
    for (auto &a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    app_argv = argv.data();
    std::string text;
    open_and([&](GtkWidget *dialog) {
      text = entry_text(cmdline_entry);
      gtk_dialog_response(GTK_DIALOG(dialog), 1);
    });
    app_argv = nullptr;
    return text;
  }

  static void expect_cleared() {
    EXPECT_EQ(cmdline_entry, nullptr);
    EXPECT_EQ(log_channel_entry, nullptr);
    EXPECT_EQ(env_entry, nullptr);
    EXPECT_EQ(log_file_entry, nullptr);
    EXPECT_EQ(log_file_path, nullptr);
    EXPECT_EQ(log_enabled, 0);
    for (GtkWidget *w : log_config_ctrl)
      EXPECT_EQ(w, nullptr);
  }

  GtkWidget *parent = nullptr;
};

TEST_F(DebugDialogTest, WindowRowsAndPacking) {
  char *argv[] = {const_cast<char *>("helper"), const_cast<char *>("C:\\a.exe"), nullptr};
  app_argv = argv;
  Outcome o = open_and([&](GtkWidget *dialog) {
    EXPECT_TRUE(gtk_window_get_modal(GTK_WINDOW(dialog)));
    EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(dialog)), GTK_WINDOW(parent));
    int w = 0, h = 0;
    gtk_widget_get_size_request(dialog, &w, &h);
    EXPECT_EQ(w, 600);
    EXPECT_EQ(h, 400);

    // "取消" then "运行", answering 1 and 2.
    GtkWidget *cancel = gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), 1);
    GtkWidget *run = gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), 2);
    ASSERT_TRUE(cancel && run);
    EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(cancel)), "取消");
    EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(run)), "运行");
    auto buttons = children(gtk_widget_get_parent(cancel));
    ASSERT_EQ(buttons.size(), 2u);
    EXPECT_EQ(buttons[0], cancel);
    EXPECT_EQ(buttons[1], run);

    GtkWidget *content = gtk_dialog_get_content_area(GTK_DIALOG(dialog));
    GtkWidget *vbox = gtk_widget_get_parent(rows_of(dialog).at(0));
    EXPECT_EQ(gtk_box_get_spacing(GTK_BOX(vbox)), 5);
    gboolean expand, fill;
    guint padding;
    GtkPackType pack;
    gtk_box_query_child_packing(GTK_BOX(content), vbox, &expand, &fill, &padding, &pack);
    EXPECT_FALSE(expand);
    EXPECT_FALSE(fill);
    EXPECT_EQ(padding, 5u);
    EXPECT_EQ(pack, GTK_PACK_START);

    struct Cell {
      GType type;
      const char *text; // label or button text; nullptr for others
      bool expands;
    };
    const std::vector<std::vector<Cell>> expected = {
        {{GTK_TYPE_LABEL, "命令行:", false}, {GTK_TYPE_ENTRY, nullptr, true}},
        {{GTK_TYPE_CHECK_BUTTON, "启动日志", true}},
        {{GTK_TYPE_LABEL, "Wine日志通道:", false}},
        {{GTK_TYPE_ENTRY, nullptr, true}, {GTK_TYPE_COMBO_BOX_TEXT, nullptr, false}},
        {{GTK_TYPE_LABEL, "环境变量:", false}},
        {{GTK_TYPE_ENTRY, nullptr, true}},
        {{GTK_TYPE_LABEL, "日志文件:", false},
         {GTK_TYPE_ENTRY, nullptr, true},
         {GTK_TYPE_BUTTON, "...", false}},
    };
    auto rows = rows_of(dialog);
    ASSERT_EQ(rows.size(), expected.size());
    for (std::size_t r = 0; r < rows.size(); ++r) {
      EXPECT_EQ(gtk_box_get_spacing(GTK_BOX(rows[r])), 8) << r;
      gtk_box_query_child_packing(GTK_BOX(vbox), rows[r], &expand, &fill, &padding, &pack);
      EXPECT_FALSE(expand || fill) << r;
      EXPECT_EQ(padding, 5u) << r;
      EXPECT_EQ(pack, GTK_PACK_START) << r;
      auto cells = children(rows[r]);
      ASSERT_EQ(cells.size(), expected[r].size()) << r;
      for (std::size_t c = 0; c < cells.size(); ++c) {
        const Cell &want = expected[r][c];
        EXPECT_EQ(G_OBJECT_TYPE(cells[c]), want.type) << r << "/" << c;
        if (want.text) {
          const char *text = GTK_IS_LABEL(cells[c]) ? gtk_label_get_text(GTK_LABEL(cells[c]))
                                                    : gtk_button_get_label(GTK_BUTTON(cells[c]));
          EXPECT_STREQ(text, want.text);
        }
        gtk_box_query_child_packing(GTK_BOX(rows[r]), cells[c], &expand, &fill, &padding, &pack);
        EXPECT_EQ(bool(expand), want.expands) << r << "/" << c;
        EXPECT_EQ(bool(fill), want.expands) << r << "/" << c;
        EXPECT_EQ(padding, 15u) << r << "/" << c;
        EXPECT_EQ(pack, GTK_PACK_START) << r << "/" << c;
      }
    }

    // The published references are the dialog's own entries.
    EXPECT_EQ(cmdline_entry, children(rows[0])[1]);
    EXPECT_EQ(log_channel_entry, children(rows[3])[0]);
    EXPECT_EQ(env_entry, children(rows[5])[0]);
    EXPECT_EQ(log_file_entry, children(rows[6])[1]);
    EXPECT_EQ(gtk_entry_get_max_length(GTK_ENTRY(cmdline_entry)), 1024);
    for (GtkWidget *e : {log_channel_entry, env_entry, log_file_entry}) {
      EXPECT_EQ(gtk_entry_get_max_length(GTK_ENTRY(e)), 255);
      EXPECT_EQ(entry_text(e), "");
    }
    gchar *tip = gtk_widget_get_tooltip_text(env_entry);
    EXPECT_STREQ(tip, "eg: ABC=1 TMP_ENV=1231 TMP_ENV1=abc");
    g_free(tip);
    EXPECT_FALSE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(log_check_of(dialog))));
    EXPECT_EQ(log_enabled, 0);

    // The twelve presets with their blanks, none chosen.
    GtkWidget *combo = combo_of(dialog);
    EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(combo)), -1);
    GtkTreeModel *model = gtk_combo_box_get_model(GTK_COMBO_BOX(combo));
    EXPECT_EQ(gtk_tree_model_iter_n_children(model, nullptr), 12);
    const char *labels[] = {"  标准日志  ", "  窗口  ",     "  崩溃信息  ", "  文件  ",
                            "  字体  ",     "  游戏图形  ", "  游戏声音  ", "  网络连接  ",
                            "  键盘输入  ", "  鼠标输入  ", "  游戏控制  ", "  打印  "};
    GtkTreeIter iter;
    int i = 0;
    for (gboolean ok = gtk_tree_model_get_iter_first(model, &iter); ok && i < 12;
         ok = gtk_tree_model_iter_next(model, &iter), ++i) {
      gchar *text = nullptr;
      gtk_tree_model_get(model, &iter, 0, &text, -1);
      EXPECT_STREQ(text, labels[i]);
      g_free(text);
    }
    gtk_dialog_response(GTK_DIALOG(dialog), 1);
  });
  EXPECT_TRUE(o.acted);
  EXPECT_TRUE(o.dialog_gone);
}

TEST_F(DebugDialogTest, PrefilledCommandLine) {
  const std::string head = " '/opt/wine tools/bin/wine'";
  EXPECT_EQ(prefilled({"C:\\Program Files\\App\\a b.exe", "-x"}),
            head + " \"C:\\Program Files\\App\\a b.exe\" -x");
  EXPECT_EQ(prefilled({"Z:\\home\\u\\a b.exe", "A:\\x", "a:y", "z:w", "c:\\low case"}),
            head + " 'Z:\\home\\u\\a b.exe' 'A:\\x' a:y z:w \"c:\\low case\"");

  // Bytes that are not UTF-8 reach the entry as printf escapes that give them back, not as
  // garbage or replacement characters. (A line cut to fit is a row of
  // RunsWhatWasAskedOrSaysWhyNot.)
  std::string text = prefilled({"C:\\\xff\xfe.exe"});
  EXPECT_TRUE(g_utf8_validate(text.c_str(), -1, nullptr));
  EXPECT_EQ(text, head + " 'C:\\'\"$(printf '\\377\\376')\"'.exe'");

  // Without an argument vector the entry opens empty.
  app_argv = nullptr;
  std::string empty = "unset";
  open_and([&](GtkWidget *dialog) {
    empty = entry_text(cmdline_entry);
    gtk_dialog_response(GTK_DIALOG(dialog), 1);
  });
  EXPECT_EQ(empty, "");
}

TEST_F(DebugDialogTest, LoggingSwitchGreysTheEightWidgets) {
  open_and([&](GtkWidget *dialog) {
    auto rows = rows_of(dialog);
    const std::vector<GtkWidget *> expected = {
        children(rows[2])[0], log_channel_entry,   combo_of(dialog),
        children(rows[4])[0], env_entry,           children(rows[6])[0],
        log_file_entry,       children(rows[6])[2]};
    for (std::size_t i = 0; i < expected.size(); ++i)
      EXPECT_EQ(log_config_ctrl[i], expected[i]) << i;
    EXPECT_EQ(log_config_ctrl[8], nullptr);

    auto all_sensitive = [&](bool want) {
      for (GtkWidget *w : expected)
        if (bool(gtk_widget_get_sensitive(w)) != want)
          return false;
      return true;
    };
    EXPECT_TRUE(all_sensitive(false));
    EXPECT_TRUE(gtk_widget_get_sensitive(cmdline_entry));
    GtkWidget *check = log_check_of(dialog);
    EXPECT_TRUE(gtk_widget_get_sensitive(check));

    gtk_button_clicked(GTK_BUTTON(check));
    EXPECT_EQ(log_enabled, 1);
    EXPECT_TRUE(all_sensitive(true));
    gtk_button_clicked(GTK_BUTTON(check));
    EXPECT_EQ(log_enabled, 0);
    EXPECT_TRUE(all_sensitive(false));
    gtk_button_clicked(GTK_BUTTON(check));
    gtk_dialog_response(GTK_DIALOG(dialog), 1);
  });
  // A fresh dialog starts unchecked and greyed again.
  open_and([&](GtkWidget *dialog) {
    EXPECT_EQ(log_enabled, 0);
    EXPECT_FALSE(gtk_widget_get_sensitive(log_channel_entry));
    EXPECT_FALSE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(log_check_of(dialog))));
    gtk_dialog_response(GTK_DIALOG(dialog), 1);
  });
}

TEST_F(DebugDialogTest, PresetFillsTheChannelEntry) {
  open_and([&](GtkWidget *dialog) {
    GtkWidget *combo = combo_of(dialog);
    gtk_entry_set_text(GTK_ENTRY(log_channel_entry), "+typed");
    gtk_combo_box_set_active(GTK_COMBO_BOX(combo), 7);
    EXPECT_EQ(entry_text(log_channel_entry), "+pid,+tid,+iphlpapi,+winhttp,+wininet,+winsock");
    gtk_entry_set_text(GTK_ENTRY(log_channel_entry), "+pid,+winsock");
    EXPECT_EQ(entry_text(log_channel_entry), "+pid,+winsock");
    // Clearing the choice leaves the entry alone; the last preset replaces it.
    gtk_combo_box_set_active(GTK_COMBO_BOX(combo), -1);
    EXPECT_EQ(entry_text(log_channel_entry), "+pid,+winsock");
    gtk_combo_box_set_active(GTK_COMBO_BOX(combo), 11);
    EXPECT_EQ(entry_text(log_channel_entry), "+pid,+tid,+print,+psdrv,+winspool");
    gtk_combo_box_set_active(GTK_COMBO_BOX(combo), 6);
    EXPECT_EQ(entry_text(log_channel_entry),
              "+pid,+tid,+mmdevapi,+winmm,+driver,+msacm,+midi,+dsound,+dsound3d,+xaudio2,+xapofx,"
              "+dmusic,+mci,+pulse,+oss,+alsa,+coreaudio,+timestamp");
    gtk_dialog_response(GTK_DIALOG(dialog), 1);
  });
}

TEST_F(DebugDialogTest, EveryAnswerWithoutRunClearsTheSharedState) {
  TempDir dir;
  struct Case {
    const char *name;
    std::function<void(GtkWidget *)> answer;
    std::string err;
  };
  const std::vector<Case> cases = {
      {"cancel", [](GtkWidget *d) { gtk_dialog_response(GTK_DIALOG(d), 1); }, ""},
      {"close", [](GtkWidget *d) { gtk_window_close(GTK_WINDOW(d)); }, ""},
      {"unexpected", [](GtkWidget *d) { gtk_dialog_response(GTK_DIALOG(d), 42); }, "unknowed 42\n"},
      {"destroyed", [](GtkWidget *d) { gtk_widget_destroy(d); }, "unknowed -1\n"},
  };
  for (const Case &c : cases) {
    std::string marker = dir / (std::string(c.name) + "-ran");
    Outcome o = open_and([&](GtkWidget *dialog) {
      gtk_button_clicked(GTK_BUTTON(log_check_of(dialog)));
      gtk_entry_set_text(GTK_ENTRY(cmdline_entry), ("touch '" + marker + "'").c_str());
      gtk_entry_set_text(GTK_ENTRY(log_channel_entry), "+pid");
      gtk_entry_set_text(GTK_ENTRY(env_entry), "A=1");
      log_file_path = g_strdup("/tmp/chosen.log");
      c.answer(dialog);
    });
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(o.acted);
    EXPECT_TRUE(o.dialog_gone);
    EXPECT_EQ(find_debug_dialog(), nullptr);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, c.err);
    EXPECT_FALSE(exists(marker));
    expect_cleared();
  }
}

// The end-of-run line names the chosen file also when logging was switched
// off, and says 无 when none was chosen.
TEST_F(DebugDialogTest, RunAnswerRunsTheCommandAndCloses) {
  for (const char *chosen : {static_cast<const char *>(nullptr), "/tmp/chosen.log"}) {
    SCOPED_TRACE(chosen ? chosen : "no file");
    TempDir dir;
    std::string marker = dir / "ran";
    Outcome o = open_and([&](GtkWidget *dialog) {
      gtk_entry_set_text(GTK_ENTRY(cmdline_entry), ("touch '" + marker + "'").c_str());
      if (chosen)
        log_file_path = g_strdup(chosen);
      gtk_dialog_response(GTK_DIALOG(dialog), 2);
    });
    EXPECT_TRUE(o.dialog_gone);
    EXPECT_TRUE(exists(marker));
    EXPECT_THAT(o.out, HasSubstr(std::string("保存的位置: ") + (chosen ? chosen : "无") + "\n"));
    EXPECT_THAT(o.err, Not(HasSubstr("unknowed")));
    expect_cleared();
  }
}

TEST(DebugDialogSavedLocation, NamesTheChosenFileEvenWhenLoggingIsOff) {
  EXPECT_STREQ(saved_log_location("/tmp/a.log"), "/tmp/a.log");
  EXPECT_STREQ(saved_log_location(nullptr), "无");
}

TEST_F(DebugDialogTest, DebugButtonOfTheMainWindowOpensTheDialog) {
  TempDir prefix;
  wine_prefix = prefix.path().c_str();
  std::strcpy(current_dpi, "96");
  CaptureStdout();
  CaptureStderr();
  GtkWidget *window = build_main_window();
  GetCapturedStdout();
  GetCapturedStderr();
  g_signal_handlers_disconnect_by_func(window, reinterpret_cast<gpointer>(gtk_main_quit), nullptr);
  GtkWidget *debug_row = children(children(window).at(0)).at(5);
  GtkWidget *button = children(debug_row).at(1);
  ASSERT_STREQ(gtk_button_get_label(GTK_BUTTON(button)), "调试");
  GtkWindow *transient = nullptr;
  Outcome o = open_and(
      [&](GtkWidget *dialog) {
        transient = gtk_window_get_transient_for(GTK_WINDOW(dialog));
        gtk_dialog_response(GTK_DIALOG(dialog), 1);
      },
      button);
  EXPECT_TRUE(o.acted);
  EXPECT_EQ(transient, GTK_WINDOW(window));
  gtk_widget_destroy(window);
  pump();
  wine_prefix = nullptr;
}

using driver::find_button;
using driver::find_widget;

// The value shown after one of the debug dialog's figures ("已记录行数:" ...), or "".
std::string figure(GtkWidget *dialog, const std::string &name) {
  GtkWidget *key = find_widget(dialog, [&](GtkWidget *w) {
    return GTK_IS_LABEL(w) && name == gtk_label_get_text(GTK_LABEL(w));
  });
  GtkWidget *value = key ? gtk_label_get_mnemonic_widget(GTK_LABEL(key)) : nullptr;
  return value ? gtk_label_get_text(GTK_LABEL(value)) : "";
}

GtkWidget *message_box_titled(const char *title) {
  GtkWidget *box = driver::find_toplevel(title);
  return box && GTK_IS_MESSAGE_DIALOG(box) ? box : nullptr;
}

gboolean click_soon(gpointer button) {
  gtk_button_clicked(GTK_BUTTON(button));
  return G_SOURCE_REMOVE;
}

// Steps asked in turn from the main loop, every 20 ms, each until it says it is done; nested
// loops (the dialog's, a box's) turn it too. Fails the test past the deadline.
class Steps {
public:
  explicit Steps(double seconds) : until_(g_get_monotonic_time() + gint64(seconds * 1e6)) {
    source_ = g_timeout_add(20, tick, this);
  }
  ~Steps() {
    if (source_)
      g_source_remove(source_);
  }
  Steps &then(std::function<bool()> step) {
    steps_.push_back(std::move(step));
    return *this;
  }
  void run() {
    while (!steps_.empty() && g_get_monotonic_time() < until_)
      g_main_context_iteration(nullptr, TRUE);
    EXPECT_TRUE(steps_.empty()) << steps_.size() << " steps left";
  }
  bool done() const { return steps_.empty(); }

private:
  static gboolean tick(gpointer self) {
    auto *s = static_cast<Steps *>(self);
    if (g_get_monotonic_time() > s->until_) {
      ADD_FAILURE() << "steps took too long, " << s->steps_.size() << " left";
      // Whatever is open is closed so that nothing hangs.
      s->steps_.clear();
      GList *list = gtk_window_list_toplevels();
      for (GList *l = list; l; l = l->next)
        if (GTK_IS_DIALOG(l->data) && gtk_widget_get_visible(GTK_WIDGET(l->data)))
          gtk_dialog_response(GTK_DIALOG(l->data), 1);
      g_list_free(list);
      return G_SOURCE_CONTINUE;
    }
    while (!s->steps_.empty() && s->steps_.front()())
      s->steps_.pop_front();
    return G_SOURCE_CONTINUE;
  }
  std::deque<std::function<bool()>> steps_;
  gint64 until_;
  guint source_ = 0;
};

// Pings windows from a thread of its own while the main loop goes on: a step that is done once
// every window has answered or 1 s has passed for it.
class Pings {
public:
  // The windows are asked for when the step begins.
  std::function<bool()> of(std::function<std::vector<GtkWidget *>()> windows) {
    return [this, windows] {
      if (!started_) {
        started_ = true;
        std::vector<unsigned long> xids;
        for (GtkWidget *w : windows())
          xids.push_back(gdk_x11_window_get_xid(gtk_widget_get_window(w)));
        thread_ = std::thread([this, xids] {
          for (unsigned long xid : xids)
            ms.push_back(ping_ms(xid, 1000));
          finished_ = true;
        });
      }
      if (!finished_)
        return false;
      thread_.join();
      return true;
    };
  }
  ~Pings() {
    if (thread_.joinable())
      thread_.join();
  }
  std::vector<long> ms; // read once the step is done

private:
  bool started_ = false;
  std::atomic<bool> finished_{false};
  std::thread thread_;
};

gboolean close_soon(gpointer window) {
  gtk_window_close(GTK_WINDOW(window));
  return G_SOURCE_REMOVE;
}

// While Wine works (a debug run, winecfg), the helper's windows answer the desktop's ping within a
// second, the run shows its figures, nothing else can be started, and "停止" ends a run at once
// with everything it printed in the log. Closing the main window asks first during a run, and
// leaves a tool running.
TEST_F(DebugDialogTest, WindowsAnswerWhileWineWorks) {
  TempDir dir;
  wine_prefix = dir.path().c_str();
  std::strcpy(current_dpi, "96");
  make_dirs(dir / "logs");
  const std::string rec = dir / "tool", printed = dir / "printed";
  // A winecfg that takes its time, and a program that prints a line every 100 ms until stopped.
  write_script(dir / "wine",
               "echo \"$*\" >> '" + rec + "'; sleep 2; echo ended >> '" + rec + "'\n");
  std::strcpy(wine_app_path, (dir / "wine").c_str());
  const std::string program = "i=0; while [ $i -lt 600 ]; do i=$((i+1)); echo \"line $i\"; "
                              "echo \"line $i\" >> '" +
                              printed + "'; sleep 0.1; done";
  enum class kind { stop_button, tool, close_during_run, close_during_tool };
  const struct {
    const char *name;
    kind what;
  } rows[] = {{"a captured debug run stopped with 停止", kind::stop_button},
              {"winecfg", kind::tool},
              {"the main window closed during a run", kind::close_during_run},
              {"the main window closed while winecfg runs", kind::close_during_tool}};
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    const bool run = row.what == kind::stop_button || row.what == kind::close_during_run;
    write_file(rec, "");
    std::remove(printed.c_str());
    std::remove((dir / "logs/run.log.0").c_str());
    CaptureStdout();
    CaptureStderr();
    GtkWidget *window = build_main_window();
    g_signal_handlers_disconnect_by_func(window, reinterpret_cast<gpointer>(gtk_main_quit),
                                         nullptr);
    g_object_add_weak_pointer(G_OBJECT(window), reinterpret_cast<gpointer *>(&window));
    GtkWidget *cfg = find_button(window, "配置"), *proxy = find_button(window, "设置"),
              *debug = find_button(window, "调试"), *confirm = find_button(window, "确定");
    ASSERT_TRUE(cfg && proxy && debug && confirm);
    auto starters_sensitive = [&](bool want) {
      for (GtkWidget *b : {cfg, proxy, debug, confirm})
        if (bool(gtk_widget_get_sensitive(b)) != want)
          return false;
      return true;
    };
    Pings pings;
    Steps steps(60);
    GtkWidget *dialog = nullptr;
    std::string lines_before;
    gint64 stop_asked = 0, stopped = 0;
    bool archive_asked = false;
    // Answers the question to stop with "停止运行" (2) or "取消" (1).
    auto answer_stop = [&](int response) {
      return [&, response] {
        GtkWidget *question = message_box_titled("停止");
        if (!question)
          return false;
        EXPECT_EQ(message_text(question), "要停止正在运行的程序吗？");
        EXPECT_TRUE(find_button(question, "取消") && find_button(question, "停止运行"));
        if (response == 2)
          stop_asked = g_get_monotonic_time();
        gtk_dialog_response(GTK_DIALOG(question), response);
        return true;
      };
    };
    if (run) {
      g_idle_add(click_soon, debug);
      steps
          .then([&] {
            if (!(dialog = find_debug_dialog()))
              return false;
            gtk_button_clicked(GTK_BUTTON(log_check_of(dialog)));
            gtk_entry_set_text(GTK_ENTRY(cmdline_entry), program.c_str());
            log_file_path = g_strdup((dir / "logs/run.log").c_str());
            init_log_sink((dir / "logs").c_str(), "run.log", 1 << 20, 2);
            gtk_dialog_response(GTK_DIALOG(dialog), 2);
            return true;
          })
          // The figures move while the program prints.
          .then([&] {
            lines_before = figure(dialog, "已记录行数:");
            return std::atoi(lines_before.c_str()) >= 2 && figure(dialog, "运行时间:") != "";
          })
          .then([&] { return figure(dialog, "已记录行数:") != lines_before; })
          .then(pings.of([&] {
            return std::vector<GtkWidget *>{window, dialog};
          }))
          .then([&] {
            EXPECT_EQ(figure(dialog, "正在写入:"), dir / "logs/run.log.0");
            EXPECT_TRUE(starters_sensitive(false));
            gtk_button_clicked(GTK_BUTTON(cfg)); // as a click held back would come
            EXPECT_FALSE(tool_buttons::running());
            if (row.what == kind::stop_button)
              g_idle_add(click_soon, find_button(dialog, "停止"));
            else
              g_idle_add(close_soon, window);
            return true;
          });
      if (row.what == kind::stop_button) {
        steps.then(answer_stop(2)).then([&] {
          GtkWidget *box = message_box_titled("打包日志");
          if (!box)
            return false;
          stopped = g_get_monotonic_time();
          archive_asked = true;
          gtk_dialog_response(GTK_DIALOG(box), 1);
          return true;
        });
      } else {
        // "取消" lets the run go on and the window stay; asked again, "停止运行" ends both, with
        // no more questions.
        steps.then(answer_stop(1))
            .then([&] {
              EXPECT_TRUE(window && debug_run::running());
              g_idle_add(close_soon, window);
              return true;
            })
            .then(answer_stop(2))
            .then([&] {
              if (GtkWidget *box = message_box_titled("打包日志")) {
                archive_asked = true;
                gtk_dialog_response(GTK_DIALOG(box), 1);
              }
              if (window)
                return false;
              stopped = g_get_monotonic_time();
              return true;
            });
      }
      steps.then([&] { return find_debug_dialog() == nullptr; });
    } else {
      g_idle_add(click_soon, cfg);
      steps.then([&] { return tool_buttons::running(); })
          .then(pings.of([&] { return std::vector<GtkWidget *>{window}; }))
          .then([&] {
            EXPECT_TRUE(starters_sensitive(false));
            // A second "配置", a "设置" and a "调试" while it runs start nothing.
            for (GtkWidget *b : {cfg, proxy, debug})
              gtk_button_clicked(GTK_BUTTON(b));
            if (row.what == kind::close_during_tool)
              g_idle_add(close_soon, window);
            return true;
          })
          .then([&] {
            // Closed, the window goes at once; the tool is still running.
            if (row.what == kind::close_during_tool && window)
              return false;
            if (row.what == kind::close_during_tool) {
              EXPECT_TRUE(tool_buttons::running());
            }
            return true;
          })
          .then([&] { return !tool_buttons::running(); });
    }
    steps.run();
    std::string out = GetCapturedStdout();
    std::string err = GetCapturedStderr();
    if (window) {
      EXPECT_TRUE(starters_sensitive(true));
      g_object_remove_weak_pointer(G_OBJECT(window), reinterpret_cast<gpointer *>(&window));
      gtk_widget_destroy(window);
    } else {
      EXPECT_TRUE(row.what == kind::close_during_run || row.what == kind::close_during_tool);
    }
    pump();
    if (!run) {
      EXPECT_EQ(read_file(rec), "winecfg\nended\n");
      EXPECT_EQ(Value(out, HasSubstr("cmd [")), true);
      EXPECT_EQ(out.find("cmd ["), out.rfind("cmd [")) << "one tool started: " << out;
    } else {
      EXPECT_LT(stopped - stop_asked, 5 * G_USEC_PER_SEC);
      EXPECT_EQ(archive_asked, row.what == kind::stop_button) << "the archive is offered";
      EXPECT_THAT(out, HasSubstr("保存的位置: " + dir / "logs/run.log"));
      // Every line printed before the stop is in the log, in order; at most the one being
      // printed as it came is there besides.
      std::string body = read_file(dir / "logs/run.log.0").substr(std::strlen(sys_info));
      std::string messages;
      for (std::size_t at = 0; at < body.size(); at = body.find('\n', at) + 1) {
        const std::size_t from = record_starts_at(body, at) ? at + kRecordPrefix : at;
        messages += body.substr(from, body.find('\n', at) + 1 - from);
      }
      const std::string before = read_file(printed);
      EXPECT_THAT(messages, StartsWith(before));
      EXPECT_LE(std::count(messages.begin(), messages.end(), '\n'),
                std::count(before.begin(), before.end(), '\n') + 1);
      EXPECT_GE(std::count(before.begin(), before.end(), '\n'), 3);
    }
    ASSERT_EQ(pings.ms.size(), run ? 2u : 1u);
    for (long ms : pings.ms) {
      EXPECT_GE(ms, 0) << "no answer within 1 s";
      EXPECT_LT(ms, 1000);
    }
    if (HasFailure())
      std::cout << out << err;
  }
  wine_prefix = nullptr;
}

// Through the real dialog: the line runs as typed, with the arguments the program was
// given, and what cannot run or cannot be logged is said in a box.
TEST_F(DebugDialogTest, RunsWhatWasAskedOrSaysWhyNot) {
  TempDir dir;
  make_dirs(dir / "launcher dir");
  make_dirs(dir / "logs");
  write_script(dir / "launcher dir/wine", "printf '%s\\n' \"$@\" > '" + dir / "args" + "'\n");
  std::strcpy(wine_app_path, (dir / "launcher dir/wine").c_str());
  const std::string mark = dir / "mark";
  const std::string x512(512, 'x');
  auto tick_logging = [](GtkWidget *dialog) {
    gtk_button_clicked(GTK_BUTTON(log_check_of(dialog)));
  };
  auto set = [](GtkWidget *entry, const std::string &text) {
    gtk_entry_set_text(GTK_ENTRY(entry), text.c_str());
  };
  struct Row {
    const char *name;
    std::vector<std::string> args;
    std::function<void(GtkWidget *)> fill; // answers the dialog itself, or lets Enter do it
    std::vector<std::string> boxes;        // "title: text", in order
    bool ran;
    std::function<void()> check;
    std::size_t boxes_before = 0; // boxes that come before the dialog is answered
    const char *out_has = "保存的位置: ";
    const char *err_has = nullptr; // an "错误：" line of a run that ran
  };
  // A small file system that fills up during a run: only root may mount one.
  struct Mount {
    std::string path;
    bool mounted = false;
    ~Mount() {
      if (mounted)
        umount2(path.c_str(), MNT_DETACH);
    }
  } full{dir / "full"};
  make_dirs(full.path);
  full.mounted = mount("tmpfs", full.path.c_str(), "tmpfs", 0, "size=2m") == 0;
  const std::string long_arg(2000, 'x');
  const std::string cut_line =
      (" '" + dir / "launcher dir/wine" + "' \"C:\\a.exe\" " + long_arg).substr(0, 1022);
  std::vector<Row> rows = {
      {"pre-filled arguments reach the program unchanged, through a launcher with a blank",
       {"C:\\windows\\system32\\cmd.exe", "/c", "echo", "a\\b", "$HOME", "two  blanks", "it's",
        "report $(touch '" + mark + "').txt", "a;touch '" + mark + "'", "`touch " + mark + "`"},
       [](GtkWidget *d) { gtk_dialog_response(GTK_DIALOG(d), 2); },
       {},
       true,
       [&] {
         EXPECT_EQ(read_file(dir / "args"),
                   "C:\\windows\\system32\\cmd.exe\n/c\necho\na\\b\n$HOME\ntwo  blanks\nit's\n"
                   "report $(touch '" +
                       mark + "').txt\na;touch '" + mark + "'\n`touch " + mark + "`\n");
       }},
      {"an argument that is not UTF-8 (a file name in another encoding) reaches it byte for byte",
       {"\xb1\xa8\xb8\xe6 $(touch '" + mark + "').txt", "\xff"},
       [](GtkWidget *d) { gtk_dialog_response(GTK_DIALOG(d), 2); },
       {},
       true,
       [&] {
         EXPECT_EQ(read_file(dir / "args"), "\xb1\xa8\xb8\xe6 $(touch '" + mark + "').txt\n\xff\n");
         EXPECT_FALSE(exists(mark));
       }},
      {"a compound line gets its channels, its stderr and a long line logged as printed",
       {},
       [&](GtkWidget *d) {
         tick_logging(d);
         set(log_channel_entry, "+seh");
         set(env_entry, "NIVRA_X=typed");
         set(cmdline_entry,
             "cd '" + dir / "launcher dir" +
                 "' && for i in 1 2; do echo \"$i $(printenv WINEDEBUG) $NIVRA_X\" >&2; done; "
                 "printf '%1503s\\n' '' | tr ' ' x");
         log_file_path = g_strdup((dir / "logs/run.log").c_str());
         init_log_sink((dir / "logs").c_str(), "run.log", 1 << 20, 2);
         gtk_dialog_response(GTK_DIALOG(d), 2);
       },
       {"打包日志: 调试运行已结束。要把日志和系统信息打成一个可以发送的压缩包吗？"},
       true,
       [&] {
         std::string body = read_file(dir / "logs/run.log.0").substr(std::strlen(sys_info));
         // Each record's prefix taken away: the lines as the program printed them.
         std::string messages;
         for (std::size_t at = 0; at < body.size(); at = body.find('\n', at) + 1) {
           const std::size_t from = record_starts_at(body, at) ? at + kRecordPrefix : at;
           messages += body.substr(from, body.find('\n', at) + 1 - from);
         }
         EXPECT_EQ(messages, "1 +seh typed\n2 +seh typed\n" + x512 + "\n" + x512 + "\n" +
                                 std::string(479, 'x') + "\n");
       }},
      {"a line the shell rejects runs nothing and the dialog stays",
       {},
       [&](GtkWidget *d) {
         set(cmdline_entry, "echo it's; touch '" + mark + "'");
         gtk_dialog_response(GTK_DIALOG(d), 2);
       },
       {"错误: shell 无法执行这一行，没有运行任何命令。"},
       false,
       nullptr},
      {"a command too long to run whole runs nothing and the dialog stays",
       {},
       [&](GtkWidget *d) {
         tick_logging(d);
         std::string words; // 900 characters of three bytes each
         for (int i = 0; i < 900; ++i)
           words += "文";
         set(cmdline_entry, "touch '" + mark + "'; echo " + words);
         gtk_dialog_response(GTK_DIALOG(d), 2);
       },
       {"错误: 命令太长，没有运行。请缩短命令行、日志通道或环境变量。"},
       false,
       nullptr},
      {"a folder that cannot be written runs nothing and the dialog stays",
       {},
       [&](GtkWidget *d) {
         tick_logging(d);
         set(cmdline_entry, "touch '" + mark + "'");
         log_file_path = g_strdup("/proc/1/nolog.log");
         gtk_dialog_response(GTK_DIALOG(d), 2);
       },
       {"错误: 无法在文件夹 /proc/1 中写入日志，没有运行。"},
       false,
       nullptr},
      {"typing in the log field is refused; Enter in the channel field runs",
       {},
       [&](GtkWidget *d) {
         tick_logging(d);
         set(cmdline_entry, "touch '" + mark + "'");
         press_key(log_file_entry, GDK_KEY_a);
         EXPECT_EQ(entry_text(log_file_entry), "");
         press_key(log_channel_entry, GDK_KEY_a);
         EXPECT_EQ(entry_text(log_channel_entry), "a");
         press_key(log_channel_entry, GDK_KEY_Return);
       },
       {"提示: 没有选择日志文件，这次运行的输出没有记录。"},
       true,
       [&] { EXPECT_TRUE(exists(mark)); }},
      {"a launcher that is not there is said",
       {},
       [&](GtkWidget *d) {
         set(cmdline_entry, "'" + dir / "no such/wine" + "' x");
         gtk_dialog_response(GTK_DIALOG(d), 2);
       },
       {"错误: 命令行结束时的状态为 127：shell 找不到或无法执行其中的命令。"},
       true,
       nullptr},
      {"a pre-filled line cut to fit the field is said, and does not run as it was cut",
       {"C:\\a.exe", long_arg, "-after"},
       [&](GtkWidget *d) {
         EXPECT_EQ(entry_text(cmdline_entry), cut_line);
         std::remove((dir / "args").c_str());
         gtk_dialog_response(GTK_DIALOG(d), 2);
       },
       {"警告: 程序的命令行太长，预填时在 1022 字节处被截断，最后一个参数可能不完整。",
        "错误: 命令行还是被截断的预填内容，没有运行。"},
       false,
       [&] { EXPECT_FALSE(exists(dir / "args")); },
       1},
      {"a logged run whose program prints nothing leaves its log with the system information",
       {},
       [&](GtkWidget *d) {
         tick_logging(d);
         set(cmdline_entry, "true");
         log_file_path = g_strdup((dir / "logs/quiet.log").c_str());
         init_log_sink((dir / "logs").c_str(), "quiet.log", 1 << 20, 2);
         gtk_dialog_response(GTK_DIALOG(d), 2);
       },
       {"打包日志: 调试运行已结束。要把日志和系统信息打成一个可以发送的压缩包吗？"},
       true,
       [&] { EXPECT_EQ(read_file(dir / "logs/quiet.log.0"), sys_info); }},
  };
  // The disk fills up: the program runs to its end, and the end says where the log stopped.
  if (full.mounted)
    rows.push_back(
        {"a full disk stops the log and the end of the run says where",
         {},
         [&](GtkWidget *d) {
           tick_logging(d);
           set(cmdline_entry, "seq 1 400000; touch '" + mark + "'");
           log_file_path = g_strdup((full.path + "/app.log").c_str());
           init_log_sink(full.path.c_str(), "app.log", 64 << 10, 50);
           gtk_dialog_response(GTK_DIALOG(d), 2);
         },
         {"错误: 日志没有写完：无法写入 " + full.path + "/app.log.0（No space left on device）。",
          "打包日志: 调试运行已结束。要把日志和系统信息打成一个可以发送的压缩包吗？"},
         true,
         [&] {
           EXPECT_TRUE(exists(mark)) << "the program did not run to its end";
           std::remove(mark.c_str());
         },
         0,
         "（没有写完）",
         "错误：日志没有写完：无法写入 "});
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<std::string> argv_text{"nivra-wine-helper"};
    argv_text.insert(argv_text.end(), row.args.begin(), row.args.end());
    std::vector<char *> argv;
    for (auto &a : argv_text)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    app_argv = row.args.empty() ? nullptr : argv.data();

    Driver driver(parent);
    for (std::size_t b = 0; b < row.boxes.size(); ++b) {
      if (b == row.boxes_before)
        driver.then("调试启动", row.fill);
      const std::string &box = row.boxes[b];
      // The archive offered after a logged run is declined: "不用".
      driver.answer(box.substr(0, box.find(':')), box.rfind("打包日志", 0) == 0 ? 1 : 2);
    }
    if (row.boxes_before >= row.boxes.size())
      driver.then("调试启动", row.fill);
    if (!row.ran)
      driver.then("调试启动", [](GtkWidget *d) {
        EXPECT_NE(entry_text(cmdline_entry), "") << "the dialog comes back as it was";
        gtk_dialog_response(GTK_DIALOG(d), 1);
      });
    CaptureStdout();
    CaptureStderr();
    on_debug_app_btn_clicked(nullptr, parent);
    std::string out = GetCapturedStdout();
    std::string err = GetCapturedStderr();
    app_argv = nullptr;
    EXPECT_TRUE(driver.done());
    std::vector<std::string> boxes;
    for (const std::string &seen : driver.seen)
      if (seen != "调试启动")
        boxes.push_back(seen);
    EXPECT_EQ(boxes, row.boxes);
    EXPECT_EQ(Value(out, HasSubstr(row.out_has)), row.ran) << out;
    if (row.err_has)
      EXPECT_THAT(err, HasSubstr(row.err_has));
    else
      EXPECT_EQ(Value(err, HasSubstr("错误：")), !row.ran) << err;
    if (row.check)
      row.check();
    else
      EXPECT_FALSE(exists(mark));
    std::remove(mark.c_str());
    expect_cleared();
  }
  if (!full.mounted)
    GTEST_SKIP() << "the full-disk row needs a small tmpfs, which only root may mount";
}

using DebugDialogDeathTest = DebugDialogTest;

TEST_F(DebugDialogDeathTest, RegistrationStopsBeforeTheEndMarker) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        std::size_t ctrl_current_index = 0;
        GtkWidget *label = gtk_label_new("x");
        for (int i = 0; i < 63; ++i)
          register_log_config_ctrl(ctrl_current_index, label);
        std::fprintf(stderr, "63 registered\n");
        register_log_config_ctrl(ctrl_current_index, label);
      },
      "63 registered\n.*Assertion `ctrl_current_index \\+ 1 < "
      "sizeof\\(log_config_ctrl\\)/sizeof\\(log_config_ctrl\\[0\\]\\)' failed");
}

TEST_F(DebugDialogDeathTest, PresetIndexBeyondTheTableStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        GtkWidget *combo = gtk_combo_box_text_new();
        for (int i = 0; i < 14; ++i)
          gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(combo), "x");
        gtk_combo_box_set_active(GTK_COMBO_BOX(combo), 12);
        combo_selected(GTK_COMBO_BOX(combo), nullptr); // the end row: no channel, no entry
        std::fprintf(stderr, "12 passed\n");
        gtk_combo_box_set_active(GTK_COMBO_BOX(combo), 13);
        combo_selected(GTK_COMBO_BOX(combo), nullptr);
      },
      "12 passed\n.*Assertion `index < sizeof\\(log_channel\\)/ sizeof\\(log_channel\\[0\\]\\)' "
      "failed");
}

} // namespace

// The confirm handler and its timer in-process, with a launcher script: the
// paths that return to the caller instead of exiting the process.
#include "confirm/confirm.hpp"
#include "dialog_driver.hpp"
#include "prefix/dpi_reader.hpp"
#include "prefix/prefix_path.hpp"
#include "settings/settings.hpp"
#include "shell/main_window.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <cstring>
#include <string>

using namespace testsupport;

namespace {

GtkWidget *find_toplevel(const char *title) {
  GList *tops = gtk_window_list_toplevels();
  GtkWidget *found = nullptr;
  for (GList *l = tops; l && !found; l = l->next) {
    const char *t = gtk_window_get_title(GTK_WINDOW(l->data));
    if (t && std::strcmp(t, title) == 0)
      found = GTK_WIDGET(l->data);
  }
  g_list_free(tops);
  return found;
}

gboolean give_up(gpointer timed_out) {
  *static_cast<bool *>(timed_out) = true;
  gtk_main_quit();
  return G_SOURCE_REMOVE;
}

class ConfirmHandlerTest : public testing::Test {
protected:
  void SetUp() override {
    make_dirs(dir / "home/.config/nivra-wine");
    make_dirs(dir / "prefix");
    write_file(dir / "prefix/user.reg",
               "[Control Panel\\\\Desktop] 1\n\"LogPixels\"=dword:00000060\n");
    // reg stores the value as Wine would; anything else would be the program.
    write_launcher(dir / "launcher", {{"reg", store_dpi("'" + dir / "prefix/user.reg" + "'")},
                                      {"*", "touch '" + dir / "started" + "'"}});
    std::strcpy(wine_app_path, (dir / "launcher").c_str());
    prefix_text = dir / "prefix";
    wine_prefix = prefix_text.c_str();
    app_argv = nullptr;
    std::strcpy(current_dpi, "96");

    combo = gtk_combo_box_text_new();
    for (const char *dpi : dpi_values)
      gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(combo), dpi);
    gtk_combo_box_set_active(GTK_COMBO_BOX(combo), 0);
    check = gtk_check_button_new_with_label("不再提示");
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check), TRUE);
    button = gtk_button_new_with_label("确定");
    for (GtkWidget *w : {combo, check, button})
      g_object_ref_sink(w);
    data = {combo, check, current_dpi, {}};
  }
  void TearDown() override {
    for (GtkWidget *w : {combo, check, button}) {
      gtk_widget_destroy(w);
      g_object_unref(w);
    }
    if (window)
      gtk_widget_destroy(window);
    while (gtk_events_pending())
      gtk_main_iteration();
    wine_prefix = nullptr;
    std::memset(wine_app_path, 0, sizeof(wine_app_path));
  }

  // Puts the three widgets in a shown window, as the main window holds them.
  void place_in_window() {
    window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWidget *box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    gtk_container_add(GTK_CONTAINER(window), box);
    for (GtkWidget *w : {combo, check, button})
      gtk_box_pack_start(GTK_BOX(box), w, FALSE, FALSE, 0);
    gtk_widget_show_all(window);
  }

  // Runs the main loop until the timer ends it, capturing what it prints.
  // False when it had to be stopped.
  bool run_until_done() {
    bool timed_out = false;
    guint guard = g_timeout_add_seconds(30, give_up, &timed_out);
    CaptureStdout();
    CaptureStderr();
    gtk_main();
    if (!timed_out)
      g_source_remove(guard);
    out = GetCapturedStdout();
    err = GetCapturedStderr();
    return !timed_out;
  }

  // Clicks and runs the main loop until the timer ends it.
  void click_and_run() {
    ScopedEnv home("HOME", dir / "home");
    CaptureStdout();
    CaptureStderr();
    on_confirm_btn_clicked(button, &data);
    dialog_after_click = find_toplevel("提示");
    std::string early_out = GetCapturedStdout(), early_err = GetCapturedStderr();
    EXPECT_TRUE(run_until_done());
    out = early_out + out;
    err = early_err + err;
  }

  std::string flag() { return read_file(dir / "home/.config/nivra-wine/enable_wine_start_helper"); }

  TempDir dir;
  std::string prefix_text;
  GtkWidget *combo = nullptr, *check = nullptr, *button = nullptr, *window = nullptr;
  confirm_data data{};
  GtkWidget *dialog_after_click = nullptr;
  std::string out, err;
};

TEST_F(ConfirmHandlerTest, ChangeInAWindowShowsTheProgressDialogUntilVerified) {
  place_in_window();
  gtk_combo_box_set_active(GTK_COMBO_BOX(combo), 1); // "120"
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check), FALSE);

  ScopedEnv home("HOME", dir / "home");
  // Nothing is printed before the timer runs; output is captured from there on.
  on_confirm_btn_clicked(button, &data);
  GtkWidget *dialog = find_toplevel("提示");
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(gtk_widget_get_visible(dialog));
  EXPECT_TRUE(gtk_window_get_modal(GTK_WINDOW(dialog)));
  EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(dialog)), GTK_WINDOW(window));
  EXPECT_TRUE(gtk_window_get_destroy_with_parent(GTK_WINDOW(dialog)));
  int w = 0, h = 0;
  gtk_window_get_default_size(GTK_WINDOW(dialog), &w, &h);
  EXPECT_EQ(w, 300);
  EXPECT_EQ(h, 100);
  GList *content =
      gtk_container_get_children(GTK_CONTAINER(gtk_dialog_get_content_area(GTK_DIALOG(dialog))));
  GtkWidget *vbox = nullptr; // the content area also holds the (empty) action area
  for (GList *l = content; l; l = l->next)
    if (!vbox && !GTK_IS_BUTTON_BOX(l->data))
      vbox = GTK_WIDGET(l->data);
  g_list_free(content);
  ASSERT_NE(vbox, nullptr);
  EXPECT_EQ(gtk_box_get_spacing(GTK_BOX(vbox)), 10);
  EXPECT_EQ(gtk_container_get_border_width(GTK_CONTAINER(vbox)), 20u);
  GList *labels = gtk_container_get_children(GTK_CONTAINER(vbox));
  ASSERT_NE(labels, nullptr);
  GtkWidget *label = GTK_WIDGET(labels->data);
  g_list_free(labels);
  EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(label)), "正在设置DPI值，请稍候...");
  EXPECT_FLOAT_EQ(gtk_label_get_xalign(GTK_LABEL(label)), 0.5f);
  EXPECT_FLOAT_EQ(gtk_label_get_yalign(GTK_LABEL(label)), 0.5f);
  g_object_add_weak_pointer(G_OBJECT(dialog), reinterpret_cast<gpointer *>(&dialog));

  ASSERT_TRUE(run_until_done());
  EXPECT_EQ(dialog, nullptr) << "the progress dialog outlived the work";
  EXPECT_THAT(
      out, HasSubstr("cmd [" + dir / "launcher" +
                     " reg add \"HKEY_CURRENT_USER\\Control Panel\\Desktop\" /v \"LogPixels\" /t "
                     "REG_DWORD /d 120 /f]\n"));
  EXPECT_THAT(out, HasSubstr("DPI设置成功生效，当前DPI值: 120\n")) << err;
  EXPECT_STREQ(current_dpi, "120");
  EXPECT_EQ(flag(), "1");
  EXPECT_FALSE(exists(dir / "started")) << "no program vector, nothing to start";
}

TEST_F(ConfirmHandlerTest, ProgressDialogStaysUntilTheProgramIsStarted) {
  place_in_window();
  gtk_combo_box_set_active(GTK_COMBO_BOX(combo), 2); // "144"
  char name[] = "nivra-wine-helper", program[] = "prog.exe";
  char *argv[] = {name, program, nullptr};
  app_argv = argv;

  ScopedEnv home("HOME", dir / "home");
  on_confirm_btn_clicked(button, &data);
  GtkWidget *dialog = find_toplevel("提示");
  ASSERT_NE(dialog, nullptr);
  g_object_add_weak_pointer(G_OBJECT(dialog), reinterpret_cast<gpointer *>(&dialog));
  // What user.reg held when the dialog went: the work runs from the main loop
  // as soon as nothing else waits, so the closing requests are handled first.
  std::string reg_at_destroy = "(not destroyed)";
  g_signal_connect_swapped(dialog, "destroy", G_CALLBACK(+[](std::string *held) {
                             *held = read_file(std::string(wine_prefix) + "/user.reg");
                           }),
                           &reg_at_destroy);
  // Escape, then the window manager's close button.
  g_signal_emit_by_name(dialog, "close");
  gtk_window_close(GTK_WINDOW(dialog));

  bool done = run_until_done();
  app_argv = nullptr;
  ASSERT_TRUE(done);
  EXPECT_THAT(reg_at_destroy, HasSubstr("dword:00000090"))
      << "closed while the DPI was being written";
  EXPECT_EQ(dialog, nullptr) << "the progress dialog outlived the work";
  EXPECT_THAT(out, HasSubstr("DPI设置成功生效，当前DPI值: 144\n")) << err;
  EXPECT_THAT(err, Not(HasSubstr("CRITICAL")));
  EXPECT_TRUE(eventually([&] { return exists(dir / "started"); }, 10))
      << "the program was not started";
}

// An Enter held down since "确定" presses whatever holds the focus.
TEST_F(ConfirmHandlerTest, HeldEnterOnTheQuestionCancelsAndStopsNothing) {
  place_in_window();
  gtk_combo_box_set_active(GTK_COMBO_BOX(combo), 1); // "120"
  make_dirs(dir / "bin");
  // A client of the prefix's server maps a file of its folder.
  std::string server = dir / ("srv/" + prefix_path::prefix_places_of(prefix_text).server_dir);
  make_dirs(server);
  write_file(server + "/tmpmap", "x");
  FileHolder program(windows_like_holder(dir / "bin"), dir / "prefix", "", server + "/tmpmap");
  std::string list, focused;
  Driver answer(window);
  // A key activates a button after its pressed look has shown: the dialog stays
  // a moment, until the answer arrives.
  answer.until("关闭正在运行的程序", [&](GtkWidget *question) {
    if (!focused.empty())
      return false;
    EXPECT_TRUE(gtk_window_get_modal(GTK_WINDOW(question)));
    EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(question)), GTK_WINDOW(window));
    gchar *secondary = nullptr;
    g_object_get(question, "secondary-text", &secondary, nullptr);
    list = secondary ? secondary : "";
    g_free(secondary);
    GtkWidget *focus = gtk_window_get_focus(GTK_WINDOW(question));
    focused = GTK_IS_BUTTON(focus) ? gtk_button_get_label(GTK_BUTTON(focus)) : "";
    if (focus)
      gtk_widget_activate(focus);
    return false;
  });
  ScopedEnv home("HOME", dir / "home");
  CaptureStdout();
  on_confirm_btn_clicked(button, &data);
  out = GetCapturedStdout();
  EXPECT_EQ(answer.seen, std::vector<std::string>{"关闭正在运行的程序: "
                                                  "更改DPI需要关闭此容器中正在运行的以下程序，程序"
                                                  "可能会询问是否保存："});
  EXPECT_EQ(list, "ntdll.dll");
  EXPECT_EQ(focused, "取消");
  EXPECT_EQ(out, "") << "nothing may be stopped or written";
  EXPECT_EQ(find_toplevel("提示"), nullptr);
  EXPECT_TRUE(pid_alive(program.pid()));
  EXPECT_FALSE(exists(dir / "home/.config/nivra-wine/enable_wine_start_helper"))
      << "a change called off records nothing";
}

// "确定" activated again while the change runs, as an accessibility action
// does past the modal dialog: one change, one write.
TEST_F(ConfirmHandlerTest, ConfirmActivatedAgainWhileTheChangeRunsIsIgnored) {
  place_in_window();
  gtk_combo_box_set_active(GTK_COMBO_BOX(combo), 1); // "120"
  // A write that takes a second, as a cold reg does.
  std::string launcher = read_file(dir / "launcher");
  launcher.replace(launcher.find("reg) "), 5, "reg) sleep 1; ");
  write_script(dir / "launcher", launcher.substr(launcher.find('\n') + 1));
  g_signal_connect(button, "clicked", G_CALLBACK(on_confirm_btn_clicked), &data);
  // Once the main loop runs, that is once the change has begun.
  g_idle_add(
      [](gpointer widget) {
        for (int i = 0; i < 2; ++i)
          atk_action_do_action(ATK_ACTION(gtk_widget_get_accessible(GTK_WIDGET(widget))), 0);
        return G_SOURCE_REMOVE;
      },
      button);
  click_and_run();
  EXPECT_NE(dialog_after_click, nullptr);
  std::size_t writes = 0;
  for (std::size_t at = out.find(" reg add "); at != std::string::npos;
       at = out.find(" reg add ", at + 1))
    ++writes;
  EXPECT_EQ(writes, 1u) << out;
  EXPECT_THAT(out, HasSubstr("DPI设置成功生效，当前DPI值: 120\n")) << err;
}

TEST_F(ConfirmHandlerTest, ChangeOutsideAWindowRunsWithoutDialog) {
  gtk_combo_box_set_active(GTK_COMBO_BOX(combo), 2); // "144"
  click_and_run();
  EXPECT_EQ(dialog_after_click, nullptr);
  EXPECT_THAT(out, HasSubstr("DPI设置成功生效，当前DPI值: 144\n")) << err;
  EXPECT_EQ(flag(), "0");
}

TEST_F(ConfirmHandlerTest, NoChangeWithoutProgramVectorReturnsAndKeepsTheWindow) {
  struct Case {
    int active;
    bool ticked;
    std::string err;
  };
  const Case cases[] = {{0, true, ""}, {-1, false, "错误：未选中DPI值\n"}};
  for (const Case &c : cases) {
    gtk_combo_box_set_active(GTK_COMBO_BOX(combo), c.active);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check), c.ticked);
    ScopedEnv home("HOME", dir / "home");
    CaptureStdout();
    CaptureStderr();
    on_confirm_btn_clicked(button, &data);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(GetCapturedStderr(), c.err);
    EXPECT_EQ(find_toplevel("提示"), nullptr);
    EXPECT_EQ(flag(), c.ticked ? "0" : "1");
    EXPECT_FALSE(exists(dir / "started"));
  }
}

// A registry line that would have to be cut is not run: its cut could write
// another value. The box says so, and no choice is recorded.
TEST_F(ConfirmHandlerTest, RegistryLineThatWouldBeCutIsNotRun) {
  std::string launcher = dir.path() + "/" + std::string(240, '\'');
  std::strcpy(wine_app_path, launcher.c_str());
  gtk_combo_box_set_active(GTK_COMBO_BOX(combo), 2); // "144"
  Driver answer(window);
  answer.answer("错误", 2);
  click_and_run();
  EXPECT_EQ(answer.seen, std::vector<std::string>{"错误: 注册表命令过长，未写入DPI值。"});
  EXPECT_THAT(err, HasSubstr("错误：注册表命令过长，未写入DPI值\n"));
  EXPECT_THAT(out, Not(HasSubstr("cmd [")));
  EXPECT_THAT(out, Not(HasSubstr("DPI设置成功生效")));
  EXPECT_FALSE(exists(dir / "home/.config/nivra-wine/enable_wine_start_helper"));
}

TEST_F(ConfirmHandlerTest, FlagFileFailureDoesNotStopTheChange) {
  gtk_combo_box_set_active(GTK_COMBO_BOX(combo), 1);
  remove_tree(dir / "home/.config");
  click_and_run();
  EXPECT_THAT(err, StartsWith("无法打开文件: No such file or directory\n"));
  EXPECT_THAT(out, HasSubstr("DPI设置成功生效，当前DPI值: 120\n")) << err;
}

} // namespace

#include "confirm/confirm.hpp"

#include "confirm/dpi_reader.hpp"
#include "confirm/flag_file.hpp"
#include "confirm/kill_prefix.hpp"
#include "confirm/running_programs.hpp"
#include "launch/cmd_runner.hpp"
#include "launch/start_failure.hpp"
#include "settings/settings.hpp"
#include "util/i18n.hpp"
#include "util/own.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kMaxAttempts = 20;

void pump_events() {
  while (gtk_events_pending())
    gtk_main_iteration();
}

// The program this helper was started for, through the launcher; it outlives
// this process. False, once the user has been told why, when the launcher
// could not be started: the window then stays.
bool start_program(GtkWidget *near) {
  if (!app_argv)
    return true;
  app_argv[0] = wine_app_path;
  int err = 0;
  run_cmd_detached(wine_app_path, app_argv, &err);
  if (err != 0) {
    start_failure::report(near, wine_app_path, err);
    return false;
  }
  start_failure::clear();
  return true;
}

// The quotes are shell quoting: reg gets the key as one word.
void write_dpi_to_registry(const char *target) {
  const char *const args[] = {"reg",
                              "add",
                              "\"HKEY_CURRENT_USER\\Control Panel\\Desktop\"",
                              "/v",
                              "\"LogPixels\"",
                              "/t",
                              "REG_DWORD",
                              "/d",
                              target,
                              "/f",
                              nullptr};
  // A cut line could end in "/d 1" instead of "/d 120": write nothing rather
  // than a wrong value. The checks then fail and say so.
  if (cmd_runner::full_cmd_line_length(wine_app_path, args) > cmd_runner::kMaxLine) {
    std::fprintf(stderr, "错误：注册表命令过长，未写入DPI值\n");
    return;
  }
  run_cmd_sync(wine_app_path, args);
}

// Escape or the window manager's close button would take the dialog, and with
// it the modal grab, away while the DPI is written: the main window could then
// be closed before the program is started, or "确定" clicked a second time.
gboolean keep_open(GtkWidget *, GdkEvent *, gpointer) { return TRUE; }

GtkWidget *show_progress_dialog(GtkWidget *button) {
  GtkWidget *top = gtk_widget_get_toplevel(button);
  if (!GTK_IS_WINDOW(top))
    return nullptr;
  GtkWidget *dialog = gtk_dialog_new();
  gtk_window_set_title(GTK_WINDOW(dialog), _("提示"));
  gtk_window_set_transient_for(GTK_WINDOW(dialog), GTK_WINDOW(top));
  gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
  gtk_window_set_destroy_with_parent(GTK_WINDOW(dialog), TRUE);
  g_signal_connect(dialog, "delete-event", G_CALLBACK(keep_open), nullptr);

  GtkWidget *content = gtk_dialog_get_content_area(GTK_DIALOG(dialog));
  GtkWidget *box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 10);
  gtk_container_set_border_width(GTK_CONTAINER(box), 20);
  gtk_container_add(GTK_CONTAINER(content), box);
  GtkWidget *label = gtk_label_new(_("正在设置DPI值，请稍候..."));
  gtk_label_set_xalign(GTK_LABEL(label), 0.5f);
  gtk_label_set_yalign(GTK_LABEL(label), 0.5f);
  gtk_box_pack_start(GTK_BOX(box), label, TRUE, TRUE, 0);

  gtk_window_set_default_size(GTK_WINDOW(dialog), 300, 100);
  gtk_widget_show_all(dialog);
  // On screen before the timer's first call blocks the main loop.
  pump_events();
  return dialog;
}

// Asks before the programs are stopped; true to go on. "取消" is the default
// and holds the focus, so that an Enter held down since "确定" never kills.
bool ask_to_close(GtkWidget *button, const std::vector<std::string> &programs) {
  GtkWidget *top = gtk_widget_get_toplevel(button);
  std::string list;
  for (const std::string &name : programs) {
    own::gchars shown(g_utf8_make_valid(name.c_str(), static_cast<gssize>(name.size())));
    if (!list.empty())
      list += '\n';
    list += shown.get();
  }
  GtkWidget *question = gtk_message_dialog_new(
      GTK_IS_WINDOW(top) ? GTK_WINDOW(top) : nullptr,
      static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
      GTK_MESSAGE_WARNING, GTK_BUTTONS_NONE, "%s",
      _("更改DPI需要关闭此容器中正在运行的以下程序，未保存的内容将会丢失："));
  gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(question), "%s", list.c_str());
  gtk_window_set_title(GTK_WINDOW(question), _("关闭正在运行的程序"));
  // The sentence on one line, the names under it as a list.
  GList *labels = gtk_container_get_children(
      GTK_CONTAINER(gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(question))));
  for (GList *l = labels; l; l = l->next) {
    gtk_label_set_line_wrap(GTK_LABEL(l->data), FALSE);
    gtk_widget_set_halign(GTK_WIDGET(l->data), GTK_ALIGN_START);
  }
  g_list_free(labels);
  GtkWidget *cancel = gtk_dialog_add_button(GTK_DIALOG(question), _("取消"), 1);
  gtk_dialog_add_button(GTK_DIALOG(question), _("关闭并继续"), 2);
  gtk_dialog_set_default_response(GTK_DIALOG(question), 1);
  gtk_widget_grab_focus(cancel);
  int response = gtk_dialog_run(GTK_DIALOG(question));
  gtk_widget_destroy(question);
  if (response != 1 && response != 2 && response != GTK_RESPONSE_DELETE_EVENT)
    std::fprintf(stderr, "unknowed %d\n", response);
  return response == 2;
}

gboolean finish(dpi_apply_data *data) {
  // The main window, for a box that says the program could not be started.
  GtkWindow *owner = nullptr;
  if (data->dialog) {
    owner = gtk_window_get_transient_for(GTK_WINDOW(data->dialog));
    g_object_remove_weak_pointer(G_OBJECT(data->dialog),
                                 reinterpret_cast<gpointer *>(&data->dialog));
    gtk_widget_destroy(data->dialog);
  }
  if (start_program(reinterpret_cast<GtkWidget *>(owner)))
    gtk_main_quit();
  g_free(data->target);
  g_free(data);
  return FALSE;
}

// The write and the first check; later checks one a second.
gboolean first_call(gpointer data) {
  if (apply_dpi_timeout(data))
    g_timeout_add_seconds(1, apply_dpi_timeout, data);
  return G_SOURCE_REMOVE;
}

} // namespace

void on_confirm_btn_clicked(GtkWidget *button, gpointer user_data) {
  auto *confirm = static_cast<confirm_data *>(user_data);
  bool no_prompt = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(confirm->no_prompt_check));
  write_flag_file(no_prompt);

  own::gchars chosen(gtk_combo_box_text_get_active_text(GTK_COMBO_BOX_TEXT(confirm->dpi_combo)));
  bool change = true;
  if (!chosen || chosen.get()[0] == '\0') {
    std::fprintf(stderr, "错误：未选中DPI值\n");
    change = false;
  } else if (std::strcmp(confirm->current_dpi, chosen.get()) == 0) {
    change = false;
  }

  if (!change) {
    if (!app_argv || !start_program(button))
      return;
    gtk_main_quit();
    std::exit(0);
  }

  // Nothing is stopped or written until the user has agreed to lose what
  // these programs hold.
  std::vector<std::string> programs = running_programs::in_prefix();
  if (!programs.empty() && !ask_to_close(button, programs))
    return;

  auto *data = g_new0(dpi_apply_data, 1);
  data->dialog = show_progress_dialog(button);
  // Destroyed with its parent, the dialog must not be destroyed a second time.
  if (data->dialog)
    g_object_add_weak_pointer(G_OBJECT(data->dialog), reinterpret_cast<gpointer *>(&data->dialog));
  data->target = chosen.release();
  data->attempts = 0;
  data->max_attempts = kMaxAttempts;
  data->done = 0;
  // The first call at once, once the dialog is drawn; the seconds timer would
  // come 0.75 to 1.75 s later.
  g_idle_add(first_call, data);
}

gboolean apply_dpi_timeout(gpointer user_data) {
  auto *data = static_cast<dpi_apply_data *>(user_data);
  if (data->attempts == 0) {
    kill_prefix_processes();
    write_dpi_to_registry(data->target);
    // The server writes user.reg when it ends, and on its own it ends two
    // seconds or more after reg, once Wine's services have quit.
    kill_prefix_processes_and_server();
  }
  if (data->done)
    return finish(data);
  if (data->attempts >= data->max_attempts) {
    std::fprintf(stderr, "警告：DPI设置可能未生效，请检查注册表文件\n");
    return finish(data);
  }
  if (std::strcmp(get_current_dpi(), data->target) == 0) {
    data->done = 1;
    std::printf("DPI设置成功生效，当前DPI值: %s\n", data->target);
    kill_prefix_processes();
    return finish(data);
  }
  ++data->attempts;
  if (data->dialog)
    pump_events();
  return TRUE;
}

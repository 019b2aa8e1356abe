#include "confirm/questions.hpp"

#include "util/i18n.hpp"
#include "util/own.hpp"

#include <cstdio>

namespace questions {

namespace {

constexpr int kCancel = 1, kGoOn = 2;

std::string one_a_line(const std::vector<std::string> &programs) {
  std::string list;
  for (const std::string &name : programs) {
    own::gchars shown(g_utf8_make_valid(name.c_str(), static_cast<gssize>(name.size())));
    if (!list.empty())
      list += '\n';
    list += shown.get();
  }
  return list;
}

GtkWidget *new_message(GtkWidget *near, GtkMessageType type, const char *title,
                       const std::string &text, const std::string &detail) {
  GtkWidget *top = near ? gtk_widget_get_toplevel(near) : nullptr;
  GtkWidget *dialog = gtk_message_dialog_new(
      GTK_IS_WINDOW(top) ? GTK_WINDOW(top) : nullptr,
      static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT), type,
      GTK_BUTTONS_NONE, "%s", text.c_str());
  if (!detail.empty())
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", detail.c_str());
  gtk_window_set_title(GTK_WINDOW(dialog), title);
  // The sentence on one line, the names under it as a list.
  GList *labels = gtk_container_get_children(
      GTK_CONTAINER(gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(dialog))));
  for (GList *l = labels; l; l = l->next) {
    gtk_label_set_line_wrap(GTK_LABEL(l->data), FALSE);
    gtk_widget_set_halign(GTK_WIDGET(l->data), GTK_ALIGN_START);
  }
  g_list_free(labels);
  return dialog;
}

// Runs the dialog with its buttons, the first the focused default; true when
// the second was chosen. Escape and the close button count as the first.
bool run(GtkWidget *dialog, const char *first, const char *second) {
  GtkWidget *focused = gtk_dialog_add_button(GTK_DIALOG(dialog), first, second ? kCancel : kGoOn);
  if (second)
    gtk_dialog_add_button(GTK_DIALOG(dialog), second, kGoOn);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), second ? kCancel : kGoOn);
  gtk_widget_grab_focus(focused);
  int response = gtk_dialog_run(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
  if (response != kCancel && response != kGoOn && response != GTK_RESPONSE_DELETE_EVENT)
    std::fprintf(stderr, "unknowed %d\n", response);
  return second && response == kGoOn;
}

} // namespace

bool ask_to_close(GtkWidget *near, const std::vector<std::string> &programs) {
  GtkWidget *dialog =
      new_message(near, GTK_MESSAGE_WARNING, _("关闭正在运行的程序"),
                  _("更改DPI需要关闭此容器中正在运行的以下程序，程序可能会询问是否保存："),
                  one_a_line(programs));
  return run(dialog, _("取消"), _("关闭并继续"));
}

bool ask_to_force(GtkWidget *near, const std::vector<std::string> &programs, int seconds) {
  own::gchars text(g_strdup_printf(
      // TRANSLATORS: %d is a number of seconds.
      _("以下程序在 %d 秒内没有关闭，可能已无响应。强制关闭会丢失它们未保存的内容："), seconds));
  GtkWidget *dialog = new_message(near, GTK_MESSAGE_WARNING, _("关闭正在运行的程序"), text.get(),
                                  one_a_line(programs));
  return run(dialog, _("取消"), _("强制关闭"));
}

void say_refused(GtkWidget *near, const std::vector<std::string> &programs) {
  GtkWidget *dialog =
      new_message(near, GTK_MESSAGE_INFO, _("关闭正在运行的程序"),
                  _("有程序没有同意关闭，DPI未更改。仍在运行的程序："), one_a_line(programs));
  run(dialog, _("确定"), nullptr);
}

void say_write_timed_out(GtkWidget *near, int seconds) {
  own::gchars text(g_strdup_printf(
      // TRANSLATORS: %d is a number of seconds.
      _("写入DPI值的命令在 %d 秒内没有结束，已被停止，DPI可能没有更改。"), seconds));
  run(new_message(near, GTK_MESSAGE_ERROR, _("错误"), text.get(), ""), _("确定"), nullptr);
}

} // namespace questions

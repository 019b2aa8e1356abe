#include "confirm/questions.hpp"

#include "util/i18n.hpp"
#include "util/message_box.hpp"
#include "util/own.hpp"

namespace questions {

namespace {

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

} // namespace

bool ask_to_close(GtkWidget *near, const std::vector<std::string> &programs) {
  GtkWidget *dialog =
      message_box::create(near, GTK_MESSAGE_WARNING, _("关闭正在运行的程序"),
                          _("更改DPI需要关闭此容器中正在运行的以下程序，程序可能会询问是否保存："),
                          one_a_line(programs), true);
  return message_box::run(dialog, _("取消"), _("关闭并继续"));
}

bool ask_to_force(GtkWidget *near, const std::vector<std::string> &programs, int seconds) {
  own::gchars text(g_strdup_printf(
      // TRANSLATORS: %d is a number of seconds.
      _("以下程序在 %d 秒内没有关闭，可能已无响应。强制关闭会丢失它们未保存的内容："), seconds));
  GtkWidget *dialog = message_box::create(near, GTK_MESSAGE_WARNING, _("关闭正在运行的程序"),
                                          text.get(), one_a_line(programs), true);
  return message_box::run(dialog, _("取消"), _("强制关闭"));
}

bool ask_to_force_unasked(GtkWidget *near, const std::vector<std::string> &programs,
                          const std::string &wine_line) {
  own::gchars text(
      wine_line.empty()
          ? g_strdup(
                _("以下程序在另一个Wine桌面上，无法请求它们关闭。强制关闭会丢失它们未保存的内容："))
          // TRANSLATORS: %s is the error line Wine printed.
          : g_strdup_printf(_("无法请求程序关闭：%s\n强制关闭会丢失以下程序未保存的内容："),
                            wine_line.c_str()));
  GtkWidget *dialog = message_box::create(near, GTK_MESSAGE_WARNING, _("关闭正在运行的程序"),
                                          text.get(), one_a_line(programs), true);
  return message_box::run(dialog, _("取消"), _("强制关闭"));
}

void say_refused(GtkWidget *near, const std::vector<std::string> &programs, bool written) {
  const char *text =
      written ? _("有程序没有同意关闭。新的DPI值已写入，之后启动的程序会使用它；以下程序仍在运行：")
              : _("有程序没有同意关闭，DPI未更改。仍在运行的程序：");
  GtkWidget *dialog = message_box::create(near, GTK_MESSAGE_INFO, _("关闭正在运行的程序"), text,
                                          one_a_line(programs), true);
  message_box::run(dialog, _("确定"), nullptr);
}

void say_not_applied(GtkWidget *near, const std::string &text, const std::string &detail) {
  own::gchars shown(g_utf8_make_valid(detail.c_str(), static_cast<gssize>(detail.size())));
  message_box::run(
      message_box::create(near, GTK_MESSAGE_ERROR, _("错误"), text, shown.get(), false), _("确定"),
      nullptr);
}

void say_write_timed_out(GtkWidget *near, int seconds) {
  own::gchars text(g_strdup_printf(
      // TRANSLATORS: %d is a number of seconds.
      _("写入DPI值的命令在 %d 秒内没有结束，已被停止，DPI可能没有更改。"), seconds));
  message_box::run(message_box::create(near, GTK_MESSAGE_ERROR, _("错误"), text.get(), "", true),
                   _("确定"), nullptr);
}

} // namespace questions

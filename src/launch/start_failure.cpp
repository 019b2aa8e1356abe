#include "launch/start_failure.hpp"

#include "util/i18n.hpp"
#include "util/message_box.hpp"
#include "util/own.hpp"

#include <cerrno>

namespace {
int status = 0;
}

namespace start_failure {

int exit_status_for(int err) {
  if (err == 0)
    return 0;
  return err == ENOENT || err == ENOTDIR ? 127 : 126;
}

void report(GtkWidget *near, const char *path, int err) {
  status = exit_status_for(err);
  own::gchars shown(g_utf8_make_valid(path ? path : "", -1));
  // TRANSLATORS: %s is the path of the Wine launcher.
  own::gchars text(g_strdup_printf(_("无法启动 %s"), shown.get()));
  message_box::run(
      message_box::create(near, GTK_MESSAGE_ERROR, _("错误"), text.get(), g_strerror(err), false),
      _("确定"), nullptr);
}

void report_wine(GtkWidget *near, const std::string &wine_line) {
  status = 1;
  message_box::run(message_box::create(near, GTK_MESSAGE_ERROR, _("错误"),
                                       _("Wine无法在此容器中运行程序"), wine_line, false),
                   _("确定"), nullptr);
}

void clear() { status = 0; }

int exit_status() { return status; }

} // namespace start_failure

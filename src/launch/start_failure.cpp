#include "launch/start_failure.hpp"

#include "util/i18n.hpp"
#include "util/own.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

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
  GtkWidget *top = near ? gtk_widget_get_toplevel(near) : nullptr;
  own::gchars shown(g_utf8_make_valid(path ? path : "", -1));
  // TRANSLATORS: %s is the path of the Wine launcher.
  GtkWidget *box = gtk_message_dialog_new(
      GTK_IS_WINDOW(top) ? GTK_WINDOW(top) : nullptr,
      static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
      GTK_MESSAGE_ERROR, GTK_BUTTONS_NONE, _("无法启动 %s"), shown.get());
  gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(box), "%s", g_strerror(err));
  gtk_window_set_title(GTK_WINDOW(box), _("错误"));
  gtk_dialog_add_button(GTK_DIALOG(box), _("确定"), 2);
  gtk_dialog_set_default_response(GTK_DIALOG(box), 2);
  int response = gtk_dialog_run(GTK_DIALOG(box));
  gtk_widget_destroy(box);
  if (response != 2 && response != GTK_RESPONSE_DELETE_EVENT)
    std::fprintf(stderr, "unknowed %d\n", response);
}

void clear() { status = 0; }

int exit_status() { return status; }

} // namespace start_failure

// Runs the real program (startup::run, with this program's arguments) and
// operates its main window from inside, as a user would:
//   NIVRA_DRIVE_DPI        the DPI text to choose before clicking, or "none"
//                          to leave the combo box without a choice (unset:
//                          keep what the window preselected)
//   NIVRA_DRIVE_NO_PROMPT  "0" or "1": untick or tick "不再提示" (unset: keep)
//   NIVRA_DRIVE_ANSWER     the button to press when asked to close running
//                          programs: "取消", which then closes the main
//                          window, or "关闭并继续" (unset: "关闭并继续")
//   NIVRA_DRIVE_BUTTON     the main window's button to click (unset: "确定")
//   NIVRA_DRIVE_FORCE      the button to press when programs did not close in
//                          time: "强制关闭" or "取消" (unset: "取消"), which then
//                          closes the main window
//   NIVRA_DRIVE_READ_MS    how long to read the window before acting (unset: 0)
//   NIVRA_DRIVE_END_SESSION_MS, NIVRA_DRIVE_REG_MS
//                          the limits for the programs to close and for the
//                          registry write, in milliseconds (unset: the program's)
// Once the window is mapped it sets these and clicks "确定". It reports on
// stderr "driver: clicked\n", "driver: question [LIST]\n" with the list of
// programs when it is asked, "driver: dialog 提示 shown\n" when a visible
// window titled "提示" appears, and "driver: error [TEXT|REASON]\n" for a box
// titled "错误", which it answers and then closes the main window. When
// programs did not close in time it reports "driver: no answer [LIST]\n", and
// when one refused, "driver: refused [LIST]\n" ("refused after the write"
// once the value has been written), answers and closes the window. When the
// programs could not be asked (another Wine desktop, Wine that cannot run its
// end of the session) it reports "driver: unasked [LIST]\n" and answers as
// NIVRA_DRIVE_FORCE says.
#include "confirm/confirm.hpp"
#include "find_widget.hpp"
#include "prefix/end_session.hpp"
#include "shell/main_window.hpp"
#include "startup.hpp"

#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using driver::find_toplevel;
using driver::find_widget;

bool is_combo(GtkWidget *w) { return GTK_IS_COMBO_BOX_TEXT(w); }
bool is_check(GtkWidget *w) { return GTK_IS_CHECK_BUTTON(w); }
bool is_confirm(GtkWidget *w) {
  return GTK_IS_BUTTON(w) && !GTK_IS_TOGGLE_BUTTON(w) && gtk_button_get_label(GTK_BUTTON(w)) &&
         std::strcmp(gtk_button_get_label(GTK_BUTTON(w)), "确定") == 0;
}

gboolean close_main_window(gpointer) {
  if (find_toplevel("关闭正在运行的程序") || find_toplevel("错误"))
    return G_SOURCE_CONTINUE;
  std::fprintf(stderr, "driver: closing the window\n");
  gtk_window_close(GTK_WINDOW(find_toplevel("wine辅助程序")));
  return G_SOURCE_REMOVE;
}

gboolean answer_question(gpointer) {
  if (GtkWidget *box = find_toplevel("错误")) {
    gchar *text = nullptr, *reason = nullptr;
    g_object_get(box, "text", &text, "secondary-text", &reason, nullptr);
    std::fprintf(stderr, "driver: error [%s|%s]\n", text ? text : "", reason ? reason : "");
    g_free(text);
    g_free(reason);
    gtk_dialog_response(GTK_DIALOG(box), 2);
    g_timeout_add(100, close_main_window, nullptr);
    return G_SOURCE_REMOVE;
  }
  GtkWidget *question = find_toplevel("关闭正在运行的程序");
  if (!question)
    return G_SOURCE_CONTINUE;
  gchar *list = nullptr, *text = nullptr;
  g_object_get(question, "secondary-text", &list, "text", &text, nullptr);
  std::string names = list ? list : "", said = text ? text : "";
  g_free(list);
  g_free(text);
  const bool to_force = driver::find_button(question, "强制关闭");
  const bool to_close = driver::find_button(question, "关闭并继续");
  const bool unasked = said.find("秒内没有关闭") == std::string::npos;
  const bool written = said.find("已写入") != std::string::npos;
  std::fprintf(stderr, "driver: %s [%s]\n",
               to_force   ? (unasked ? "unasked" : "no answer")
               : to_close ? "question"
               : written  ? "refused after the write"
                          : "refused",
               names.c_str());
  if (to_force && unasked)
    std::fprintf(stderr, "driver: because [%s]\n", said.c_str());
  const char *answer = std::getenv(to_force ? "NIVRA_DRIVE_FORCE" : "NIVRA_DRIVE_ANSWER");
  const char *go_on = to_force ? "强制关闭" : "关闭并继续";
  bool cancel = to_force ? !answer || std::strcmp(answer, go_on) != 0
                         : answer && std::strcmp(answer, "取消") == 0;
  if (!to_force && !to_close) {
    gtk_button_clicked(GTK_BUTTON(driver::find_button(question, "确定")));
    cancel = true;
  } else {
    gtk_button_clicked(GTK_BUTTON(driver::find_button(question, cancel ? "取消" : go_on)));
  }
  if (cancel) {
    g_timeout_add(100, close_main_window, nullptr);
    return G_SOURCE_REMOVE;
  }
  return G_SOURCE_CONTINUE;
}

// The progress dialog may come and go within one turn of the main loop, which
// blocks while the DPI is written: note it as it is mapped.
gboolean note_progress_dialog(GSignalInvocationHint *, guint, const GValue *params, gpointer) {
  auto *widget = static_cast<GtkWidget *>(g_value_get_object(&params[0]));
  if (!GTK_IS_WINDOW(widget) || !gtk_window_get_title(GTK_WINDOW(widget)) ||
      std::strcmp(gtk_window_get_title(GTK_WINDOW(widget)), "提示") != 0)
    return TRUE;
  std::fprintf(stderr, "driver: dialog 提示 shown\n");
  return FALSE;
}

gboolean drive(gpointer) {
  GtkWidget *window = find_toplevel("wine辅助程序");
  if (!window || !gtk_widget_get_mapped(window))
    return G_SOURCE_CONTINUE;
  static gint64 shown = g_get_monotonic_time();
  const char *read_ms = std::getenv("NIVRA_DRIVE_READ_MS");
  if (read_ms && g_get_monotonic_time() - shown < std::atoll(read_ms) * 1000)
    return G_SOURCE_CONTINUE;
  if (const char *dpi = std::getenv("NIVRA_DRIVE_DPI")) {
    GtkWidget *combo = find_widget(window, is_combo);
    int index = std::strcmp(dpi, "none") == 0 ? -1 : dpi_index_of(dpi);
    if (!combo || (index < 0 && std::strcmp(dpi, "none") != 0)) {
      std::fprintf(stderr, "driver: cannot choose DPI %s\n", dpi);
      std::exit(3);
    }
    gtk_combo_box_set_active(GTK_COMBO_BOX(combo), index);
  }
  if (const char *no_prompt = std::getenv("NIVRA_DRIVE_NO_PROMPT")) {
    GtkWidget *check = find_widget(window, is_check);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check), std::strcmp(no_prompt, "1") == 0);
  }
  const char *label = std::getenv("NIVRA_DRIVE_BUTTON");
  GtkWidget *confirm = label ? driver::find_button(window, label) : find_widget(window, is_confirm);
  if (!confirm) {
    std::fprintf(stderr, "driver: no %s button\n", label ? label : "确定");
    std::exit(3);
  }
  g_signal_add_emission_hook(g_signal_lookup("map", GTK_TYPE_WIDGET), 0, note_progress_dialog,
                             nullptr, nullptr);
  g_timeout_add(20, answer_question, nullptr);
  std::fprintf(stderr, "driver: clicked\n");
  gtk_button_clicked(GTK_BUTTON(confirm));
  return G_SOURCE_REMOVE;
}

} // namespace

int main(int argc, char **argv) {
  confirm::limits limits;
  if (const char *ms = std::getenv("NIVRA_DRIVE_END_SESSION_MS"))
    limits.answer_ms = std::atoi(ms);
  if (const char *ms = std::getenv("NIVRA_DRIVE_REG_MS"))
    limits.reg_ms = std::atoi(ms);
  g_timeout_add(50, drive, nullptr);
  return startup::run(argc, argv, limits);
}

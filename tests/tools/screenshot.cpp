// Runs the real program (startup::run, with this program's arguments) and takes the pictures of
// its windows for README.md and docs/ from the X server:
//   NIVRA_SHOT_MAIN   PNG of the main window, the pointer resting on the focused "确定"
//   NIVRA_SHOT_DEBUG  PNG of the debug dialog with logging on and a preset chosen (optional)
//   NIVRA_SHOT_CLOSE  PNG of the question before a DPI change closes running programs, the
//                     pointer on its focused "取消" (optional; programs must run in the prefix)
// then closes the windows, so the program ends as when its window is closed. Without a window
// manager the keyboard focus follows the pointer, so the pointer is put inside each window
// before it is taken; otherwise it would be drawn unfocused (backdrop).
#include "debug/debug_dialog.hpp"
#include "find_widget.hpp"
#include "shell/main_window.hpp"
#include "startup.hpp"

#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// What the transitions of the theme need to settle after the pointer has arrived.
constexpr int kSettleMs = 600;

using driver::find_toplevel;

// Moves the pointer to (x, y) of widget, as the user's mouse would.
void point_at(GtkWidget *widget, int x, int y) {
  GtkWidget *top = gtk_widget_get_toplevel(widget);
  int wx = 0, wy = 0, ox = 0, oy = 0;
  gtk_widget_translate_coordinates(widget, top, x, y, &wx, &wy);
  gdk_window_get_origin(gtk_widget_get_window(top), &ox, &oy);
  GdkDisplay *display = gtk_widget_get_display(widget);
  gdk_device_warp(gdk_seat_get_pointer(gdk_display_get_default_seat(display)),
                  gdk_display_get_default_screen(display), ox + wx, oy + wy);
}

void save(GtkWidget *window, const char *path) {
  GdkWindow *gdk_window = gtk_widget_get_window(window);
  GdkPixbuf *shot = gdk_pixbuf_get_from_window(gdk_window, 0, 0, gdk_window_get_width(gdk_window),
                                               gdk_window_get_height(gdk_window));
  GError *error = nullptr;
  if (!shot || !gdk_pixbuf_save(shot, path, "png", &error, nullptr)) {
    std::fprintf(stderr, "screenshot: cannot save %s: %s\n", path, error ? error->message : "");
    std::exit(3);
  }
  g_object_unref(shot);
}

gboolean click(gpointer button) {
  gtk_button_clicked(GTK_BUTTON(button));
  return G_SOURCE_REMOVE;
}

gboolean close_main(gpointer) {
  gtk_widget_destroy(find_toplevel("wine辅助程序"));
  return G_SOURCE_REMOVE;
}

gboolean take_question(gpointer question) {
  save(GTK_WIDGET(question), std::getenv("NIVRA_SHOT_CLOSE"));
  gtk_dialog_response(GTK_DIALOG(question), 1);
  g_idle_add(close_main, nullptr);
  return G_SOURCE_REMOVE;
}

gboolean point_at_question(gpointer) {
  GtkWidget *question = find_toplevel("关闭正在运行的程序");
  GtkWidget *cancel = question ? driver::find_button(question, "取消") : nullptr;
  if (!cancel)
    return G_SOURCE_CONTINUE;
  // The pointer makes the window active, and the button is lit once it is under it.
  if (!gtk_window_is_active(GTK_WINDOW(question)) ||
      !(gtk_widget_get_state_flags(cancel) & GTK_STATE_FLAG_PRELIGHT)) {
    point_at(cancel, gtk_widget_get_allocated_width(cancel) / 2,
             gtk_widget_get_allocated_height(cancel) / 2);
    return G_SOURCE_CONTINUE;
  }
  if (!gtk_widget_has_focus(cancel)) {
    std::fprintf(stderr, "screenshot: 取消 does not hold the focus\n");
    std::exit(3);
  }
  g_timeout_add(kSettleMs, take_question, question);
  return G_SOURCE_REMOVE;
}

// Chooses another DPI and presses "确定", which asks before it closes programs.
gboolean ask_to_close(gpointer) {
  GtkWidget *window = find_toplevel("wine辅助程序");
  GtkWidget *combo = driver::find_widget(window, [](GtkWidget *w) { return GTK_IS_COMBO_BOX(w); });
  gtk_combo_box_set_active(GTK_COMBO_BOX(combo), dpi_index_of("120"));
  g_timeout_add(50, point_at_question, nullptr);
  gtk_button_clicked(GTK_BUTTON(driver::find_button(window, "确定")));
  return G_SOURCE_REMOVE;
}

GSourceFunc after_last_shot() {
  return std::getenv("NIVRA_SHOT_CLOSE") ? ask_to_close : close_main;
}

gboolean take_debug(gpointer) {
  GtkWidget *dialog = find_toplevel("调试启动");
  if (!dialog || !gtk_window_is_active(GTK_WINDOW(dialog)))
    return G_SOURCE_CONTINUE;
  save(dialog, std::getenv("NIVRA_SHOT_DEBUG"));
  gtk_dialog_response(GTK_DIALOG(dialog), 1);
  g_idle_add(after_last_shot(), nullptr);
  return G_SOURCE_REMOVE;
}

gboolean fill_debug(gpointer) {
  GtkWidget *dialog = find_toplevel("调试启动");
  if (!dialog)
    return G_SOURCE_CONTINUE;
  gtk_button_clicked(GTK_BUTTON(driver::find_button(dialog, "启动日志")));
  GList *cells =
      gtk_container_get_children(GTK_CONTAINER(gtk_widget_get_parent(log_channel_entry)));
  gtk_combo_box_set_active(GTK_COMBO_BOX(g_list_last(cells)->data), 2);
  g_list_free(cells);
  gtk_entry_set_text(GTK_ENTRY(env_entry), "LANG=zh_CN.UTF-8");
  // What "..." leaves in the entry once a file has been chosen.
  gtk_entry_set_text(GTK_ENTRY(log_file_entry), "/home/user/logs/reader.log");
  GtkAllocation area;
  gtk_widget_get_allocation(dialog, &area);
  point_at(dialog, 20, area.height - 20);
  g_timeout_add(kSettleMs, take_debug, nullptr);
  return G_SOURCE_REMOVE;
}

gboolean take_main(gpointer confirm) {
  GtkWidget *window = gtk_widget_get_toplevel(GTK_WIDGET(confirm));
  if (!(gtk_widget_get_state_flags(GTK_WIDGET(confirm)) & GTK_STATE_FLAG_PRELIGHT) ||
      !gtk_widget_has_focus(GTK_WIDGET(confirm)))
    return G_SOURCE_CONTINUE;
  save(window, std::getenv("NIVRA_SHOT_MAIN"));
  if (std::getenv("NIVRA_SHOT_DEBUG")) {
    g_timeout_add(50, fill_debug, nullptr);
    g_idle_add(click, driver::find_button(window, "调试"));
  } else {
    g_idle_add(after_last_shot(), nullptr);
  }
  return G_SOURCE_REMOVE;
}

gboolean point_at_confirm(gpointer) {
  GtkWidget *window = find_toplevel("wine辅助程序");
  GtkWidget *confirm = window ? driver::find_button(window, "确定") : nullptr;
  if (!confirm || !gtk_widget_has_default(confirm))
    return G_SOURCE_CONTINUE;
  point_at(confirm, gtk_widget_get_allocated_width(confirm) / 2,
           gtk_widget_get_allocated_height(confirm) / 2);
  g_timeout_add(kSettleMs, take_main, confirm);
  return G_SOURCE_REMOVE;
}

} // namespace

int main(int argc, char **argv) {
  if (!std::getenv("NIVRA_SHOT_MAIN")) {
    std::fprintf(stderr, "screenshot: set NIVRA_SHOT_MAIN (and NIVRA_SHOT_DEBUG) to PNG paths\n");
    return 1;
  }
  g_timeout_add(50, point_at_confirm, nullptr);
  return startup::run(argc, argv);
}

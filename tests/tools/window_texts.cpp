// Runs the real program (startup::run, with this program's arguments) and writes what a user
// reads or hears of its main window and its debug dialog to the file NIVRA_TEXTS, one line
// each as "what<TAB>text" (title, label, tooltip, item of a combo box, accessible name and
// description) in the order of the widget tree. Then it answers the debug dialog with "运行",
// so that the run prints its lines, and closes the main window.
#include "find_widget.hpp"
#include "startup.hpp"

#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>

namespace {

std::FILE *out = nullptr;

void put(const char *what, const char *text) {
  if (text && *text)
    std::fprintf(out, "%s\t%s\n", what, text);
}

void walk(GtkWidget *w, gpointer) {
  if (!gtk_widget_get_visible(w))
    return;
  if (GTK_IS_WINDOW(w))
    put("title", gtk_window_get_title(GTK_WINDOW(w)));
  if (GTK_IS_LABEL(w))
    put("label", gtk_label_get_text(GTK_LABEL(w)));
  gchar *tip = gtk_widget_get_tooltip_text(w);
  put("tooltip", tip);
  g_free(tip);
  put("name", atk_object_get_name(gtk_widget_get_accessible(w)));
  put("description", atk_object_get_description(gtk_widget_get_accessible(w)));
  if (GTK_IS_COMBO_BOX_TEXT(w)) {
    GtkTreeModel *model = gtk_combo_box_get_model(GTK_COMBO_BOX(w));
    GtkTreeIter it;
    for (bool more = gtk_tree_model_get_iter_first(model, &it); more;
         more = gtk_tree_model_iter_next(model, &it)) {
      gchar *item = nullptr;
      gtk_tree_model_get(model, &it, 0, &item, -1);
      put("item", item);
      g_free(item);
    }
  }
  // forall: the dialogs' buttons are internal children.
  if (GTK_IS_CONTAINER(w))
    gtk_container_forall(GTK_CONTAINER(w), walk, nullptr);
}

gboolean close_main(gpointer) {
  if (driver::find_toplevel("调试启动"))
    return G_SOURCE_CONTINUE;
  gtk_widget_destroy(driver::find_toplevel("wine辅助程序"));
  return G_SOURCE_REMOVE;
}

gboolean walk_debug(gpointer) {
  GtkWidget *dialog = driver::find_toplevel("调试启动");
  if (!dialog)
    return G_SOURCE_CONTINUE;
  walk(dialog, nullptr);
  std::fclose(out);
  gtk_dialog_response(GTK_DIALOG(dialog), 2);
  g_timeout_add(20, close_main, nullptr);
  return G_SOURCE_REMOVE;
}

gboolean walk_main(gpointer) {
  GtkWidget *window = driver::find_toplevel("wine辅助程序");
  GtkWidget *debug = window ? driver::find_button(window, "调试") : nullptr;
  if (!debug)
    return G_SOURCE_CONTINUE;
  walk(window, nullptr);
  g_timeout_add(20, walk_debug, nullptr);
  gtk_button_clicked(GTK_BUTTON(debug));
  return G_SOURCE_REMOVE;
}

} // namespace

int main(int argc, char **argv) {
  const char *path = std::getenv("NIVRA_TEXTS");
  if (!path || !(out = std::fopen(path, "w"))) {
    std::fprintf(stderr, "window_texts: set NIVRA_TEXTS to a file to write\n");
    return 1;
  }
  g_timeout_add(50, walk_main, nullptr);
  return startup::run(argc, argv);
}

// The floor for start-up: a GTK 3 program that asks the launcher for its
// version once and maps one empty window. Usage: floor_window TITLE
#include "ask_version.hpp"

#include <gtk/gtk.h>

int main(int argc, char **argv) {
  const char *title = argc > 1 ? argv[1] : "floor";
  ask_wine_version_once();
  gtk_init(&argc, &argv);
  GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(window), title);
  g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
  gtk_widget_show_all(window);
  gtk_main();
  return 0;
}

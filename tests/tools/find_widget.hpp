#pragma once
// Finding the program's windows and widgets from inside it, for the drivers
// that operate the real program. Titles and labels are given as the sources
// write them and found as the window shows them, in the language of the run.
#include "util/i18n.hpp"

#include <gtk/gtk.h>

#include <cstring>
#include <functional>

namespace driver {

// The mapped top-level window with this title, or nullptr.
inline GtkWidget *find_toplevel(const char *title) {
  title = _(title);
  GList *tops = gtk_window_list_toplevels();
  GtkWidget *found = nullptr;
  for (GList *l = tops; l && !found; l = l->next) {
    const char *t = gtk_window_get_title(GTK_WINDOW(l->data));
    if (t && std::strcmp(t, title) == 0 && gtk_widget_get_mapped(GTK_WIDGET(l->data)))
      found = GTK_WIDGET(l->data);
  }
  g_list_free(tops);
  return found;
}

// The first widget under root, root included, that match accepts, or nullptr.
inline GtkWidget *find_widget(GtkWidget *root, const std::function<bool(GtkWidget *)> &match) {
  if (match(root))
    return root;
  if (!GTK_IS_CONTAINER(root))
    return nullptr;
  GList *children = gtk_container_get_children(GTK_CONTAINER(root));
  GtkWidget *found = nullptr;
  for (GList *l = children; l && !found; l = l->next)
    found = find_widget(GTK_WIDGET(l->data), match);
  g_list_free(children);
  return found;
}

inline GtkWidget *find_button(GtkWidget *root, const char *label) {
  label = _(label);
  return find_widget(root, [label](GtkWidget *w) {
    return GTK_IS_BUTTON(w) && gtk_button_get_label(GTK_BUTTON(w)) &&
           std::strcmp(gtk_button_get_label(GTK_BUTTON(w)), label) == 0;
  });
}

} // namespace driver

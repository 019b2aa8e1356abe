#include "launch/activity.hpp"

#include <algorithm>
#include <vector>

namespace activity {

namespace {

std::vector<GtkWidget *> starters;
bool running = false;

void forget(gpointer, GObject *gone) {
  starters.erase(std::remove(starters.begin(), starters.end(), reinterpret_cast<GtkWidget *>(gone)),
                 starters.end());
}

void set_starters(bool sensitive) {
  for (GtkWidget *w : starters)
    gtk_widget_set_sensitive(w, sensitive);
}

} // namespace

void add_starter(GtkWidget *control) {
  starters.push_back(control);
  g_object_weak_ref(G_OBJECT(control), forget, nullptr);
  if (running)
    gtk_widget_set_sensitive(control, FALSE);
}

bool begin() {
  if (running)
    return false;
  running = true;
  set_starters(false);
  return true;
}

void end() {
  if (!running)
    return;
  running = false;
  set_starters(true);
}

bool busy() { return running; }

} // namespace activity

#include "shell/warmup_hook.hpp"

#include "prefix/warmup.hpp"
#include "settings/settings.hpp"

namespace {

gboolean reap_warmup(gpointer) {
  warmup::reap();
  return warmup::running() ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

gboolean start_warmup(gpointer) {
  if (warmup::start(wine_app_path) == warmup::Outcome::started)
    g_timeout_add(250, reap_warmup, nullptr);
  return G_SOURCE_REMOVE;
}

gboolean on_first_draw(GtkWidget *window, cairo_t *, gpointer) {
  g_signal_handlers_disconnect_by_func(window, reinterpret_cast<gpointer>(on_first_draw), nullptr);
  g_idle_add_full(G_PRIORITY_LOW, start_warmup, nullptr, nullptr);
  return FALSE;
}

} // namespace

void warm_prefix_when_drawn(GtkWidget *window) {
  g_signal_connect_after(window, "draw", G_CALLBACK(on_first_draw), nullptr);
}

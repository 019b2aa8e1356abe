#include "util/accessible.hpp"

namespace accessible {

void name_after(GtkWidget *control, GtkWidget *label) {
  // The mnemonic widget also sets the label-for / labelled-by relations.
  gtk_label_set_mnemonic_widget(GTK_LABEL(label), control);
  atk_object_set_name(gtk_widget_get_accessible(control), gtk_label_get_text(GTK_LABEL(label)));
}

namespace {

struct deferred_click {
  void (*handler)(GtkWidget *, gpointer);
  gpointer data;
  guint idle;
  GtkWidget *button;
};

gboolean run_deferred_click(gpointer p) {
  auto *click = static_cast<deferred_click *>(p);
  click->idle = 0;
  click->handler(click->button, click->data);
  return G_SOURCE_REMOVE;
}

void on_deferred_clicked(GtkWidget *, gpointer p) {
  auto *click = static_cast<deferred_click *>(p);
  if (!click->idle)
    click->idle = g_idle_add(run_deferred_click, click);
}

} // namespace

void connect_deferred(GtkWidget *button, void (*handler)(GtkWidget *, gpointer), gpointer data) {
  auto *click = g_new(deferred_click, 1);
  *click = {handler, data, 0, button};
  g_object_set_data_full(G_OBJECT(button), "deferred-click", click, [](gpointer p) {
    auto *c = static_cast<deferred_click *>(p);
    if (c->idle)
      g_source_remove(c->idle);
    g_free(c);
  });
  g_signal_connect(button, "clicked", G_CALLBACK(on_deferred_clicked), click);
}

} // namespace accessible

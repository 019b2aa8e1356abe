#include "util/accessible.hpp"

namespace accessible {

void name_after(GtkWidget *control, GtkWidget *label) {
  // The mnemonic widget also sets the label-for / labelled-by relations.
  gtk_label_set_mnemonic_widget(GTK_LABEL(label), control);
  atk_object_set_name(gtk_widget_get_accessible(control), gtk_label_get_text(GTK_LABEL(label)));
}

} // namespace accessible

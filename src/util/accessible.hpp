#pragma once
// Gives a control the text of the label in front of it as its accessible
// name, and links the two, so screen readers and keyboard users know what
// the control is for.
#include <gtk/gtk.h>

namespace accessible {

void name_after(GtkWidget *control, GtkWidget *label);

} // namespace accessible

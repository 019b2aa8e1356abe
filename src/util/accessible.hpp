#pragma once
// Gives a control the text of the label in front of it as its accessible
// name, and links the two, so screen readers and keyboard users know what
// the control is for.
#include <gtk/gtk.h>

namespace accessible {

void name_after(GtkWidget *control, GtkWidget *label);

// For a button whose handler opens a modal window: the handler runs from the main loop, not
// inside the click. A click that comes through the accessibility bus is answered only when its
// handler returns, and until then the bus can reach none of the windows the handler opens. A
// second click while one waits is the same click.
void connect_deferred(GtkWidget *button, void (*handler)(GtkWidget *, gpointer), gpointer data);

} // namespace accessible

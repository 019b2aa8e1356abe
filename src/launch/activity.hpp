#pragma once
// One thing at a time. While a Wine tool or a debug run goes on, the main
// window's controls that start something are insensitive, and a click that
// comes anyway (held back in the event queue, deferred to an idle moment, or
// made by a program) starts nothing. Main thread only.
#include <gtk/gtk.h>

namespace activity {

// A control that starts something: insensitive while anything runs. Forgotten
// when it is destroyed.
void add_starter(GtkWidget *control);

// False when something runs already, and the caller then starts nothing;
// otherwise the starters are insensitive until the matching end().
bool begin();
void end();

bool busy();

} // namespace activity

#pragma once
// Starts the prefix's warm-up once the main window has been drawn, so that it
// never holds up the window, and reaps it from the main loop. Main thread only.
#include <gtk/gtk.h>

// After the window's first draw, at the main loop's next idle moment, starts
// the warm-up through wine_app_path.
void warm_prefix_when_drawn(GtkWidget *window);

#pragma once
// The program's message boxes: modal, over the window of near (when it is in
// one), destroyed after the answer. Main thread only.
#include <gtk/gtk.h>

#include <string>

namespace message_box {

// A message dialog with text and, when not empty, detail under it. With
// as_list the detail keeps its lines as they are, left-aligned, unwrapped.
GtkWidget *create(GtkWidget *near, GtkMessageType type, const char *title, const std::string &text,
                  const std::string &detail, bool as_list);

// Runs dialog with the button first, the focused default, and, when given,
// second (responses 1 and 2; first alone answers 2). True when second was
// chosen; Escape and the close button count as first. Destroys the dialog.
bool run(GtkWidget *dialog, const char *first, const char *second);

} // namespace message_box

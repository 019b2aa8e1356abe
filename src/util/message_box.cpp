#include "util/message_box.hpp"

#include <cstdio>

namespace message_box {

namespace {
constexpr int kCancel = 1, kGoOn = 2;
}

GtkWidget *create(GtkWidget *near, GtkMessageType type, const char *title, const std::string &text,
                  const std::string &detail, bool as_list) {
  GtkWidget *top = near ? gtk_widget_get_toplevel(near) : nullptr;
  GtkWidget *dialog = gtk_message_dialog_new(
      GTK_IS_WINDOW(top) ? GTK_WINDOW(top) : nullptr,
      static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT), type,
      GTK_BUTTONS_NONE, "%s", text.c_str());
  if (!detail.empty())
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", detail.c_str());
  gtk_window_set_title(GTK_WINDOW(dialog), title);
  if (as_list) {
    // The sentence on one line, the names under it as a list.
    GList *labels = gtk_container_get_children(
        GTK_CONTAINER(gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(dialog))));
    for (GList *l = labels; l; l = l->next) {
      gtk_label_set_line_wrap(GTK_LABEL(l->data), FALSE);
      gtk_widget_set_halign(GTK_WIDGET(l->data), GTK_ALIGN_START);
    }
    g_list_free(labels);
  }
  return dialog;
}

bool run(GtkWidget *dialog, const char *first, const char *second) {
  GtkWidget *focused = gtk_dialog_add_button(GTK_DIALOG(dialog), first, second ? kCancel : kGoOn);
  if (second)
    gtk_dialog_add_button(GTK_DIALOG(dialog), second, kGoOn);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), second ? kCancel : kGoOn);
  gtk_widget_grab_focus(focused);
  int response = gtk_dialog_run(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
  if (response != kCancel && response != kGoOn && response != GTK_RESPONSE_DELETE_EVENT)
    std::fprintf(stderr, "unknowed %d\n", response);
  return second && response == kGoOn;
}

} // namespace message_box

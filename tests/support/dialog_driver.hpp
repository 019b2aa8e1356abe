#pragma once
// Answers the modal dialogs of the program from inside their own loops, for
// GUI tests: find a dialog by its title among the open windows and act on it.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

inline std::vector<GtkWidget *> children(GtkWidget *container) {
  std::vector<GtkWidget *> out;
  GList *list = gtk_container_get_children(GTK_CONTAINER(container));
  for (GList *l = list; l; l = l->next)
    out.push_back(GTK_WIDGET(l->data));
  g_list_free(list);
  return out;
}

inline std::string message_text(GtkWidget *dialog) {
  gchar *text = nullptr;
  g_object_get(dialog, "text", &text, nullptr);
  std::string out = text ? text : "";
  g_free(text);
  return out;
}

// The widgets of the size dialog's one row.
struct SizeRow {
  GtkWidget *size_label, *size, *unit, *count_label, *count;
};

inline SizeRow size_row(GtkWidget *dialog) {
  auto row = children(children(gtk_dialog_get_content_area(GTK_DIALOG(dialog))).at(0));
  EXPECT_EQ(row.size(), 5u);
  return {row.at(0), row.at(1), row.at(2), row.at(3), row.at(4)};
}

inline void fill_size(GtkWidget *dialog, const char *size, const char *unit, const char *count) {
  SizeRow row = size_row(dialog);
  if (size)
    gtk_entry_set_text(GTK_ENTRY(row.size), size);
  if (unit) {
    const char *units[] = {"B", "KB", "MB", "GB"};
    for (int i = 0; i < 4; ++i)
      if (std::string(units[i]) == unit)
        gtk_combo_box_set_active(GTK_COMBO_BOX(row.unit), i);
  }
  if (count)
    gtk_entry_set_text(GTK_ENTRY(row.count), count);
}

// Answers the modal dialogs of one press of "..." from inside their loops: each step waits
// for a dialog with its title, records it and acts on it until the act reports it done (or the
// dialog is gone). A dialog that no step expects, or a step that waits too long, fails the test
// and is closed so that nothing hangs.
class Driver {
public:
  using Act = std::function<bool(GtkWidget *)>;

  explicit Driver(GtkWidget *owner) : owner_(owner) {
    source_ = g_timeout_add(10, &Driver::tick, this);
  }
  ~Driver() {
    g_source_remove(source_);
    for (Step &step : steps_)
      forget(step);
    for (GtkWidget *&w : answered_)
      if (w)
        g_object_remove_weak_pointer(G_OBJECT(w), reinterpret_cast<gpointer *>(&w));
  }

  Driver &then(std::string title, std::function<void(GtkWidget *)> act) {
    return until(std::move(title), [act](GtkWidget *w) {
      act(w);
      return true;
    });
  }
  Driver &until(std::string title, Act act) {
    steps_.push_back({std::move(title), std::move(act)});
    return *this;
  }
  Driver &answer(std::string title, int response) {
    return then(std::move(title),
                [response](GtkWidget *d) { gtk_dialog_response(GTK_DIALOG(d), response); });
  }

  // Titles of the dialogs acted on; message dialogs as "title: text".
  std::vector<std::string> seen;
  bool done() const { return steps_.empty(); }

private:
  struct Step {
    std::string title;
    Act act;
    bool started = false;
    GtkWidget *target = nullptr; // weak once started
  };

  static void forget(Step &step) {
    if (step.target)
      g_object_remove_weak_pointer(G_OBJECT(step.target),
                                   reinterpret_cast<gpointer *>(&step.target));
    step.target = nullptr;
  }

  std::vector<GtkWidget *> open_dialogs() const {
    std::vector<GtkWidget *> out;
    GList *list = gtk_window_list_toplevels();
    for (GList *l = list; l; l = l->next) {
      auto *w = GTK_WIDGET(l->data);
      if (w != owner_ && GTK_IS_DIALOG(w) && gtk_widget_get_visible(w))
        out.push_back(w);
    }
    g_list_free(list);
    return out;
  }

  static gboolean tick(gpointer data) {
    auto *self = static_cast<Driver *>(data);
    // A started step whose dialog went away has been answered.
    if (!self->steps_.empty() && self->steps_.front().started && !self->steps_.front().target)
      self->steps_.pop_front();
    auto open = self->open_dialogs();
    if (open.empty())
      return G_SOURCE_CONTINUE;
    if (!self->steps_.empty()) {
      Step &step = self->steps_.front();
      for (GtkWidget *w : open) {
        if (gtk_window_get_title(GTK_WINDOW(w)) != step.title || (step.started && w != step.target))
          continue;
        self->waited_ = 0;
        if (!step.started) {
          step.started = true;
          step.target = w;
          g_object_add_weak_pointer(G_OBJECT(w), reinterpret_cast<gpointer *>(&step.target));
          self->seen.push_back(GTK_IS_MESSAGE_DIALOG(w) ? step.title + ": " + message_text(w)
                                                        : step.title);
        }
        if (step.act(w)) {
          forget(step);
          self->steps_.pop_front();
          self->answered(w);
        }
        return G_SOURCE_CONTINUE;
      }
      // The size dialog stays open under its warnings: wait for the next step a while.
      if (++self->waited_ < 500)
        return G_SOURCE_CONTINUE;
    }
    // A dialog that was answered stays open while its answer runs (the debug dialog during a
    // run): it is no stray.
    GtkWidget *stray = nullptr;
    for (GtkWidget *w : open)
      if (std::find(self->answered_.begin(), self->answered_.end(), w) == self->answered_.end())
        stray = w;
    if (!stray)
      return G_SOURCE_CONTINUE;
    ADD_FAILURE() << "unexpected dialog " << gtk_window_get_title(GTK_WINDOW(stray)) << " "
                  << (GTK_IS_MESSAGE_DIALOG(stray) ? message_text(stray) : "");
    self->seen.push_back(std::string("unexpected ") + gtk_window_get_title(GTK_WINDOW(stray)));
    gtk_dialog_response(GTK_DIALOG(stray), GTK_RESPONSE_DELETE_EVENT);
    self->waited_ = 0;
    return G_SOURCE_CONTINUE;
  }

  void answered(GtkWidget *w) {
    if (std::find(answered_.begin(), answered_.end(), w) != answered_.end())
      return;
    // A deque keeps its elements in place as it grows: the weak pointers stay valid.
    answered_.push_back(w);
    g_object_add_weak_pointer(G_OBJECT(w), reinterpret_cast<gpointer *>(&answered_.back()));
  }

  GtkWidget *owner_;
  std::deque<Step> steps_;
  std::deque<GtkWidget *> answered_;
  guint source_ = 0;
  int waited_ = 0;
};

inline void mark_responded(GtkDialog *dialog, int, gpointer) {
  g_object_set_data(G_OBJECT(dialog), "responded", GINT_TO_POINTER(1));
}

// Chooses dir/name in the file chooser. The chooser turns an accept down while it is still
// changing folder, so it is asked again until the answer goes through.
inline Driver::Act save_as(const std::string &dir, const std::string &name) {
  return [dir, name](GtkWidget *w) {
    if (!g_object_get_data(G_OBJECT(w), "configured")) {
      g_object_set_data(G_OBJECT(w), "configured", GINT_TO_POINTER(1));
      gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(w), dir.c_str());
      gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(w), name.c_str());
      g_signal_connect_after(w, "response", G_CALLBACK(mark_responded), nullptr);
      return false;
    }
    // The name entry completes names inline once the folder is read: "Untitled.log" among
    // "Untitled.log.0" and "Untitled.log.1" grows a dot. Type the name again until it holds.
    gchar *chosen = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(w));
    bool holds = chosen && dir + "/" + name == chosen;
    g_free(chosen);
    if (!holds) {
      gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(w), name.c_str());
      return false;
    }
    gtk_dialog_response(GTK_DIALOG(w), GTK_RESPONSE_ACCEPT);
    return g_object_get_data(G_OBJECT(w), "responded") != nullptr;
  };
}

inline std::function<void(GtkWidget *)> confirm_size(const char *size, const char *unit,
                                                     const char *count) {
  return [=](GtkWidget *dialog) {
    fill_size(dialog, size, unit, count);
    gtk_dialog_response(GTK_DIALOG(dialog), 2);
  };
}

// A key pressed and released in widget, as the keyboard delivers it.
inline void press_key(GtkWidget *widget, guint keyval) {
  gtk_widget_grab_focus(widget);
  GdkDevice *keyboard =
      gdk_seat_get_keyboard(gdk_display_get_default_seat(gtk_widget_get_display(widget)));
  for (GdkEventType type : {GDK_KEY_PRESS, GDK_KEY_RELEASE}) {
    GdkEvent *event = gdk_event_new(type);
    event->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(widget)));
    event->key.send_event = TRUE;
    event->key.time = GDK_CURRENT_TIME;
    event->key.keyval = keyval;
    gdk_event_set_device(event, keyboard);
    GdkKeymapKey *keys = nullptr;
    gint n = 0;
    if (gdk_keymap_get_entries_for_keyval(
            gdk_keymap_get_for_display(gtk_widget_get_display(widget)), keyval, &keys, &n) &&
        n > 0)
      event->key.hardware_keycode = static_cast<guint16>(keys[0].keycode);
    g_free(keys);
    gtk_widget_event(gtk_widget_get_toplevel(widget), event);
    gdk_event_free(event);
  }
}

// Enter in entry; true when dialog has answered within two seconds (a button pressed by
// Enter clicks only after its short pressed look).
inline bool press_enter(GtkWidget *dialog, GtkWidget *entry) {
  g_signal_connect_after(dialog, "response", G_CALLBACK(mark_responded), nullptr);
  press_key(entry, GDK_KEY_Return);
  const gint64 until = g_get_monotonic_time() + 2 * G_USEC_PER_SEC;
  while (!g_object_get_data(G_OBJECT(dialog), "responded") && g_get_monotonic_time() < until)
    if (!g_main_context_iteration(nullptr, FALSE))
      g_usleep(1000);
  return g_object_get_data(G_OBJECT(dialog), "responded") != nullptr;
}

inline void pump() {
  while (gtk_events_pending())
    gtk_main_iteration();
}

} // namespace testsupport

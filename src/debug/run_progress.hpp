#pragma once
// The debug dialog while a run goes on: the fields and its answers are greyed,
// and under them how long the run has gone, how many lines and bytes have been
// logged and the file being written, a few times a second, with "停止" beside.
// Main thread only.
#include "debug/capture.hpp"

#include <gtk/gtk.h>

#include <cstdint>
#include <string>

namespace run_progress {

// "M:SS", or "H:MM:SS" from an hour on.
std::string elapsed_text(std::int64_t seconds);

class view {
public:
  // Shows run's figures in dialog; log_file (nullptr: nothing logged) names the
  // log. on_stop is called from the main loop when "停止" is clicked.
  view(GtkWidget *dialog, const capture::live_run &run, const char *log_file,
       void (*on_stop)(GtkWidget *, gpointer), gpointer data);
  // Takes the figures away and gives the dialog back as it was.
  ~view();
  view(const view &) = delete;
  view &operator=(const view &) = delete;

  // "停止" has been agreed to: it cannot be clicked again, and the dialog says so.
  void stopping();
  // Shows the figures now.
  void refresh();

private:
  static gboolean tick(gpointer self);

  GtkWidget *dialog_;
  const capture::live_run &run_;
  GtkWidget *box_ = nullptr, *time_ = nullptr, *lines_ = nullptr, *bytes_ = nullptr,
            *state_ = nullptr, *stop_ = nullptr;
  gint64 started_;
  guint timer_ = 0;
  bool modal_ = false;
  bool stopping_ = false;
};

// How often the figures are shown anew.
inline constexpr int refresh_ms = 250;

} // namespace run_progress

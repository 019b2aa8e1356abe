#pragma once
// The "确定" action: either starts the program at once and exits, or applies
// a changed DPI. For a change, the programs of the user's that run in the
// prefix are named in a question first and, once the user agrees, asked to
// close as at the end of a Windows session, so that each may ask to save;
// only then is anything stopped or written. Behind a modal progress dialog
// that goes on drawing, the value is written, the server asked to save, the
// value checked at once and then once a second, and the program started when
// it has been verified or 20 checks have failed; a write that failed or was
// never verified is said in a box. The show-again choice is recorded only
// when the change took effect, or when there was none and the program has
// been started. "确定" is ignored while a change runs. Main thread only.
#include "launch/output_capture.hpp"
#include "prefix/end_session.hpp"
#include "prefix/processes.hpp"

#include <gtk/gtk.h>

#include <memory>
#include <string>
#include <vector>

namespace confirm {

// How long a change waits for Wine; tests that drive the program shorten them.
struct limits {
  // A cold `reg add` takes a second or two; one that updates the prefix first
  // may take a minute.
  int reg_ms = 120000;
  int answer_ms = end_session::kAnswerLimitMs; // for each program asked to close
};

// True once "确定" has started the program, which outlives this process.
bool program_started();

} // namespace confirm

// Handed to the "确定" handler by the main window; allocated once, never freed.
struct confirm_data {
  GtkWidget *dpi_combo;
  GtkWidget *no_prompt_check;
  const char *current_dpi; // the reader's buffer, not a copy
  confirm::limits limits;
};

// One change from the click to its end; the last step frees it.
struct dpi_apply_data {
  GtkWidget *dialog = nullptr; // the progress dialog, or null
  gchar *target = nullptr;     // the DPI text to write, g_free
  int attempts = 0;            // checks that did not find the target
  int max_attempts = 20;
  int done = 0;
  GtkWidget *near = nullptr;                 // the "确定" button: questions go over its window
  GtkWidget *label = nullptr;                // the progress dialog's text
  bool no_prompt = false;                    // "不再提示" at the click
  bool written = false;                      // the value has been handed to reg
  std::vector<processes::Process> approved;  // the programs the user agreed to close
  std::unique_ptr<output_capture::File> out; // what reg, and a server it started, printed
  std::size_t reg_said = 0;                  // how much of it reg itself printed
  confirm::limits limits;
};

// "clicked" of "确定"; data is the main window's confirm_data.
void on_confirm_btn_clicked(GtkWidget *button, gpointer data);

// One check of the value written; data is a dpi_apply_data. TRUE to be called
// again a second later.
gboolean apply_dpi_timeout(gpointer data);

#include "debuglog/debug_run.hpp"

#include "debuglog/capture.hpp"
#include "debuglog/debug_dialog.hpp"
#include "startup.hpp"

#include <cassert>

void process_debug_log() {
  // Reported as the program's own check, with the expression as its text.
  if (!(log_channel_entry && env_entry && cmdline_entry))
    __assert_fail("log_channel_entry && env_entry && cmdline_entry", "main", __LINE__,
                  "process_debug_log");

  const char *env = gtk_entry_get_text(GTK_ENTRY(env_entry));
  const char *channel = gtk_entry_get_text(GTK_ENTRY(log_channel_entry));
  const char *cmdline = gtk_entry_get_text(GTK_ENTRY(cmdline_entry));
  capture::run_debug(log_enabled != 0, log_file_path != nullptr, channel, env, cmdline,
                     multi_thread_num);
}

#include "debuglog/debug_run.hpp"

#include "debuglog/capture.hpp"
#include "debuglog/debug_dialog.hpp"
#include "prefix/warmup.hpp"
#include "settings/settings.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

// Stops the program like a failed assert(), in every build type.
[[noreturn]] void check_failed(const char *expr, unsigned line, const char *function) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s: %s:%u: %s: Assertion `%s' failed.\n", program_invocation_short_name,
               "main", line, function, expr);
  std::abort();
}

} // namespace

void process_debug_log() {
  if (!(log_channel_entry && env_entry && cmdline_entry))
    check_failed("log_channel_entry && env_entry && cmdline_entry", __LINE__, "process_debug_log");

  const char *env = gtk_entry_get_text(GTK_ENTRY(env_entry));
  const char *channel = gtk_entry_get_text(GTK_ENTRY(log_channel_entry));
  const char *cmdline = gtk_entry_get_text(GTK_ENTRY(cmdline_entry));
  warmup::cool_for_debug_run();
  capture::run_debug(log_enabled != 0, log_file_path != nullptr, channel, env, cmdline,
                     multi_thread_num);
}

#include "debug/debug_run.hpp"

#include "debug/capture.hpp"
#include "debug/debug_dialog.hpp"
#include "log/log_place.hpp"
#include "log/log_queue.hpp"
#include "log/log_sink.hpp"
#include "prefix/warmup.hpp"
#include "settings/settings.hpp"
#include "util/i18n.hpp"
#include "util/message_box.hpp"
#include "util/own.hpp"

#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Stops the program like a failed assert(), in every build type.
[[noreturn]] void check_failed(const char *expr, unsigned line, const char *function) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s: %s:%u: %s: Assertion `%s' failed.\n", program_invocation_short_name,
               "main", line, function, expr);
  std::abort();
}

void tell(GtkMessageType type, const char *title, const std::string &text,
          const std::string &detail) {
  message_box::run(message_box::create(cmdline_entry, type, title, text, detail, false), _("确定"),
                   nullptr);
}

std::string formatted(const char *format, const char *arg) {
  own::gchars text(g_strdup_printf(format, arg));
  return text.get();
}

// A captured run needs somewhere to write: the chosen folder must still take files, and
// the sink must have been set up for it.
bool log_can_be_written() {
  const std::string folder = log_place::folder_of(log_file_path);
  if (int err = log_place::folder_error(log_file_path)) {
    std::fprintf(stderr, "错误：无法在文件夹 %s 中写入日志，没有运行：%s\n", folder.c_str(),
                 std::strerror(err));
    tell(GTK_MESSAGE_ERROR, _("错误"),
         formatted(_("无法在文件夹 %s 中写入日志，没有运行。"), folder.c_str()),
         std::strerror(err));
    return false;
  }
  if (!mycat || !log4c_category_get_appender(mycat)) {
    std::fprintf(stderr, "错误：日志没有配置成功，没有运行\n");
    tell(GTK_MESSAGE_ERROR, _("错误"), _("日志没有配置成功，没有运行。请用“...”重新选择日志文件。"),
         "");
    return false;
  }
  return true;
}

} // namespace

bool process_debug_log() {
  if (!(log_channel_entry && env_entry && cmdline_entry))
    check_failed("log_channel_entry && env_entry && cmdline_entry", __LINE__, "process_debug_log");

  const char *env = gtk_entry_get_text(GTK_ENTRY(env_entry));
  const char *channel = gtk_entry_get_text(GTK_ENTRY(log_channel_entry));
  const char *cmdline = gtk_entry_get_text(GTK_ENTRY(cmdline_entry));
  const bool captured = log_enabled && log_file_path;
  if (captured && !log_can_be_written())
    return false;
  using kind = capture::run_outcome::kind;
  warmup::cool_for_debug_run();
  const capture::run_outcome outcome =
      capture::run_debug(log_enabled != 0, log_file_path != nullptr, channel, env, cmdline,
                         captured ? log_writers_allowed(multi_thread_num) : 0);
  switch (outcome.what) {
  case kind::too_long:
    tell(GTK_MESSAGE_ERROR, _("错误"), _("命令太长，没有运行。请缩短命令行、日志通道或环境变量。"),
         "");
    return false;
  case kind::refused:
    tell(GTK_MESSAGE_ERROR, _("错误"), _("shell 无法执行这一行，没有运行任何命令。"),
         outcome.detail);
    return false;
  case kind::no_shell:
    tell(GTK_MESSAGE_ERROR, _("错误"), formatted(_("无法启动 %s"), "/bin/sh"), outcome.detail);
    return false;
  case kind::ran:
    break;
  }
  // 126 and 127 are the shell's own: a command it could not execute or find.
  if (WIFEXITED(outcome.status) &&
      (WEXITSTATUS(outcome.status) == 126 || WEXITSTATUS(outcome.status) == 127)) {
    own::gchars text(
        g_strdup_printf(_("命令行结束时的状态为 %d：shell 找不到或无法执行其中的命令。"),
                        WEXITSTATUS(outcome.status)));
    tell(GTK_MESSAGE_ERROR, _("错误"), text.get(), "");
  }
  if (log_enabled && !log_file_path)
    tell(GTK_MESSAGE_INFO, _("提示"), _("没有选择日志文件，这次运行的输出没有记录。"), "");
  return true;
}

#include "debug/debug_run.hpp"

#include "debug/capture.hpp"
#include "debug/debug_dialog.hpp"
#include "debug/run_progress.hpp"
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
#include <memory>
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

// Nothing ran: says why.
void refused(const capture::run_outcome &outcome) {
  using kind = capture::run_outcome::kind;
  switch (outcome.what) {
  case kind::too_long:
    tell(GTK_MESSAGE_ERROR, _("错误"), _("命令太长，没有运行。请缩短命令行、日志通道或环境变量。"),
         "");
    break;
  case kind::refused:
    tell(GTK_MESSAGE_ERROR, _("错误"), _("shell 无法执行这一行，没有运行任何命令。"),
         outcome.detail);
    break;
  case kind::no_shell:
    tell(GTK_MESSAGE_ERROR, _("错误"), formatted(_("无法启动 %s"), "/bin/sh"), outcome.detail);
    break;
  case kind::ran:
    break;
  }
}

// Says where the log stopped when not every record reached it, in a box and on standard error.
void tell_where_the_log_stopped() {
  const sizewin_policy::write_stop stop = log_sink::outcome();
  if (!stop.stopped)
    return;
  const char *reason = std::strerror(stop.error);
  const auto lost = static_cast<unsigned long long>(stop.lost);
  std::fprintf(
      stderr, "错误：日志没有写完：无法写入 %s（%s），最后写入的记录：%s；之后的 %llu 条记录%s\n",
      stop.file.c_str(), reason, stop.last_record.empty() ? "（没有）" : stop.last_record.c_str(),
      lost, stop.to_stderr ? "改写到了标准错误" : "没有写入日志");
  own::gchars text(
      g_strdup_printf(_("日志没有写完：无法写入 %s（%s）。"), stop.file.c_str(), reason));
  std::string detail = stop.last_record.empty()
                           ? std::string(_("在这之前没有写入任何记录。"))
                           : formatted(_("最后写入的记录：\n%s"), stop.last_record.c_str());
  own::gchars rest(g_strdup_printf(stop.to_stderr ? _("之后的 %llu 条记录改写到了标准错误。")
                                                  : _("之后的 %llu 条记录没有写入日志。"),
                                   lost));
  detail += std::string("\n") + rest.get() + "\n" + _("程序照常运行到了结束。");
  tell(GTK_MESSAGE_ERROR, _("错误"), text.get(), detail);
}

// The run has ended: the program and Wine's processes are gone, every block is in
// the log and mycat is deleted. What is to be said about the run is said here.
void run_ended(const capture::run_outcome &outcome, bool logging, bool has_file) {
  // 126 and 127 are the shell's own: a command it could not execute or find.
  if (!outcome.stopped && WIFEXITED(outcome.status) &&
      (WEXITSTATUS(outcome.status) == 126 || WEXITSTATUS(outcome.status) == 127)) {
    own::gchars text(
        g_strdup_printf(_("命令行结束时的状态为 %d：shell 找不到或无法执行其中的命令。"),
                        WEXITSTATUS(outcome.status)));
    tell(GTK_MESSAGE_ERROR, _("错误"), text.get(), "");
  }
  if (logging && !has_file)
    tell(GTK_MESSAGE_INFO, _("提示"), _("没有选择日志文件，这次运行的输出没有记录。"), "");
  if (logging && has_file)
    tell_where_the_log_stopped();
}

// The run that goes on, and what shows it.
struct current_run {
  capture::live_run *run = nullptr;
  run_progress::view *view = nullptr;
  GtkWidget *dialog = nullptr;
  GtkWidget *question = nullptr; // the stop question while it is open
  bool closing = false;
};
current_run current;

void stop_now() {
  if (!current.run || current.run->ended() || current.run->stopping())
    return;
  std::printf("停止运行\n");
  std::fflush(stdout);
  current.run->stop();
  if (current.view)
    current.view->stopping();
}

void on_stop_clicked(GtkWidget *, gpointer) {
  if (debug_run::ask_to_stop(current.dialog))
    stop_now();
}

// The dialog's close button and Escape during the run ask the same question.
void on_response(GtkDialog *, int response, gpointer) {
  if (response == GTK_RESPONSE_DELETE_EVENT)
    on_stop_clicked(nullptr, nullptr);
}

// A question about a program that has ended meanwhile is answered "取消".
void run_over() {
  if (current.question)
    gtk_dialog_response(GTK_DIALOG(current.question), 1);
}

} // namespace

namespace debug_run {

bool running() { return current.run && !current.run->ended(); }

bool log_was_cut() { return log_sink::outcome().stopped; }

bool window_closing() { return current.closing; }

bool ask_to_stop(GtkWidget *near) {
  if (!running())
    return false;
  if (current.run->stopping())
    return true;
  if (current.question) // asked already: that answer counts
    return false;
  GtkWidget *box = message_box::create(near ? near : current.dialog, GTK_MESSAGE_QUESTION,
                                       _("停止"), _("要停止正在运行的程序吗？"), "", false);
  current.question = box;
  g_object_add_weak_pointer(G_OBJECT(box), reinterpret_cast<gpointer *>(&current.question));
  const bool stop = message_box::run(box, _("取消"), _("停止运行"));
  return stop && running();
}

bool stop_for_closing(GtkWidget *near) {
  if (!ask_to_stop(near))
    return false;
  current.closing = true;
  stop_now();
  return true;
}

} // namespace debug_run

bool process_debug_log() {
  if (!(log_channel_entry && env_entry && cmdline_entry))
    check_failed("log_channel_entry && env_entry && cmdline_entry", __LINE__, "process_debug_log");

  // Copied: the main loop turns while the run goes on.
  const std::string env = gtk_entry_get_text(GTK_ENTRY(env_entry));
  const std::string channel = gtk_entry_get_text(GTK_ENTRY(log_channel_entry));
  const std::string cmdline = gtk_entry_get_text(GTK_ENTRY(cmdline_entry));
  const bool logging = log_enabled != 0, has_file = log_file_path != nullptr;
  const bool captured = logging && has_file;
  if (captured && !log_can_be_written())
    return false;
  // The window goes on answering while the prefix's server saves and ends; nothing
  // in the dialog can be changed meanwhile.
  GtkWidget *top = gtk_widget_get_toplevel(cmdline_entry);
  gtk_widget_set_sensitive(top, FALSE);
  warmup::cool_for_debug_run([] {
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
  });
  gtk_widget_set_sensitive(top, TRUE);
  capture::run_outcome why_not;
  std::unique_ptr<capture::live_run> run =
      capture::start_debug({logging, has_file, channel.c_str(), env.c_str(), cmdline.c_str(),
                            captured ? log_writers_allowed(multi_thread_num) : 0},
                           why_not);
  if (!run) {
    refused(why_not);
    return false;
  }

  current = {};
  current.run = run.get();
  current.dialog = GTK_IS_DIALOG(top) ? top : nullptr;
  const std::string log_file = has_file ? log_file_path : "";
  gulong response = 0;
  {
    run_progress::view view(current.dialog, *run, captured ? log_file.c_str() : nullptr,
                            on_stop_clicked, nullptr);
    current.view = &view;
    if (current.dialog)
      response = g_signal_connect(current.dialog, "response", G_CALLBACK(on_response), nullptr);
    run->on_end(run_over);
    run->wait();
    current.view = nullptr;
  }
  if (response)
    g_signal_handler_disconnect(current.dialog, response);
  current.run = nullptr;
  current.dialog = nullptr;
  run_ended(run->outcome(), logging, has_file);
  return true;
}

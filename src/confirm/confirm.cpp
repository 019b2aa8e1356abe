#include "confirm/confirm.hpp"

#include "confirm/flag_file.hpp"
#include "confirm/questions.hpp"
#include "launch/activity.hpp"
#include "launch/child_watch.hpp"
#include "launch/cmd_runner.hpp"
#include "launch/start_failure.hpp"
#include "prefix/dpi_reader.hpp"
#include "prefix/end_session.hpp"
#include "prefix/prefix_path.hpp"
#include "prefix/programs.hpp"
#include "prefix/stop.hpp"
#include "prefix/warmup.hpp"
#include "settings/settings.hpp"
#include "util/i18n.hpp"
#include "util/own.hpp"

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kMaxAttempts = 20;

bool program_on_its_way = false;

void pump_events() {
  while (gtk_events_pending())
    gtk_main_iteration();
}

// The program this helper was started for, through the launcher; it outlives
// this process. False, once the user has been told why, when the launcher
// could not be started: the window then stays.
bool start_program(GtkWidget *near) {
  if (!app_argv)
    return true;
  app_argv[0] = wine_app_path;
  int err = 0;
  run_cmd_detached(wine_app_path, app_argv, &err);
  if (err != 0) {
    start_failure::report(near, wine_app_path, err);
    return false;
  }
  start_failure::clear();
  program_on_its_way = true;
  return true;
}

std::vector<processes::Process> prefix_processes() {
  return processes::select("/proc", prefix_path::current_prefix_places(), warmup::is_own);
}

// Escape or the window manager's close button would take the dialog, and with
// it the modal grab, away while the DPI is written: the main window could then
// be closed before the program is started, or "确定" clicked a second time.
gboolean keep_open(GtkWidget *, GdkEvent *, gpointer) { return TRUE; }

void show_progress_dialog(dpi_apply_data *data, const char *text) {
  GtkWidget *top = gtk_widget_get_toplevel(data->near);
  if (!GTK_IS_WINDOW(top))
    return;
  GtkWidget *dialog = gtk_dialog_new();
  gtk_window_set_title(GTK_WINDOW(dialog), _("提示"));
  gtk_window_set_transient_for(GTK_WINDOW(dialog), GTK_WINDOW(top));
  gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
  gtk_window_set_destroy_with_parent(GTK_WINDOW(dialog), TRUE);
  g_signal_connect(dialog, "delete-event", G_CALLBACK(keep_open), nullptr);

  GtkWidget *content = gtk_dialog_get_content_area(GTK_DIALOG(dialog));
  GtkWidget *box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 10);
  gtk_container_set_border_width(GTK_CONTAINER(box), 20);
  gtk_container_add(GTK_CONTAINER(content), box);
  GtkWidget *label = gtk_label_new(text);
  gtk_label_set_xalign(GTK_LABEL(label), 0.5f);
  gtk_label_set_yalign(GTK_LABEL(label), 0.5f);
  gtk_box_pack_start(GTK_BOX(box), label, TRUE, TRUE, 0);

  gtk_window_set_default_size(GTK_WINDOW(dialog), 300, 100);
  gtk_widget_show_all(dialog);
  // Destroyed with its parent, the dialog must not be destroyed a second time.
  data->dialog = dialog;
  data->label = label;
  g_object_add_weak_pointer(G_OBJECT(dialog), reinterpret_cast<gpointer *>(&data->dialog));
  // On screen before the work starts.
  pump_events();
}

// The progress dialog makes way for a question, and comes back after it.
void hide_progress(dpi_apply_data *data) {
  if (data->dialog)
    gtk_widget_hide(data->dialog);
}

void show_progress(dpi_apply_data *data, const char *text) {
  if (!data->dialog)
    return;
  gtk_label_set_text(GTK_LABEL(data->label), text);
  gtk_widget_show(data->dialog);
  pump_events();
}

void destroy_progress(dpi_apply_data *data) {
  if (!data->dialog)
    return;
  g_object_remove_weak_pointer(G_OBJECT(data->dialog), reinterpret_cast<gpointer *>(&data->dialog));
  gtk_widget_destroy(data->dialog);
  data->dialog = nullptr;
}

// "确定" is taken once: an accessibility action activates it past the modal
// dialogs, and a second change would stop and write alongside the first.
bool change_running = false;

void free_data(dpi_apply_data *data) {
  destroy_progress(data);
  g_free(data->target);
  delete data;
  change_running = false;
}

// The choice is recorded only when the DPI asked for is in place: otherwise
// the window is to come again.
gboolean finish(dpi_apply_data *data, bool took_effect) {
  GtkWidget *near = data->near;
  destroy_progress(data);
  if (took_effect)
    write_flag_file(data->no_prompt);
  if (start_program(near))
    gtk_main_quit();
  free_data(data);
  return FALSE;
}

// The change did not take effect, or may not have: said in a box, then the
// program is started as it would have been.
gboolean not_applied(dpi_apply_data *data, const std::string &text, const std::string &detail) {
  hide_progress(data);
  questions::say_not_applied(data->near, text, detail);
  return finish(data, false);
}

// Nothing has been stopped or written: the window stays as it was.
void call_off(dpi_apply_data *data) {
  if (!data->written) {
    free_data(data);
    return;
  }
  // The value is with the prefix's server, which saves it only when it ends.
  std::fprintf(stderr, "警告：DPI设置可能未生效，请检查注册表文件\n");
  finish(data, false);
}

void after_write(dpi_apply_data *data, int status, bool timed_out);

// The quotes are shell quoting: reg gets the key as one word.
void write_dpi_to_registry(dpi_apply_data *data) {
  const char *const args[] = {"reg",
                              "add",
                              "\"HKEY_CURRENT_USER\\Control Panel\\Desktop\"",
                              "/v",
                              "\"LogPixels\"",
                              "/t",
                              "REG_DWORD",
                              "/d",
                              data->target,
                              "/f",
                              nullptr};
  // A cut line could end in "/d 1" instead of "/d 120": write nothing rather
  // than a wrong value.
  if (cmd_runner::full_cmd_line_length(wine_app_path, args) > cmd_runner::kMaxLine) {
    std::fprintf(stderr, "错误：注册表命令过长，未写入DPI值\n");
    not_applied(data, _("注册表命令过长，未写入DPI值。"), "");
    return;
  }
  data->out = std::make_unique<output_capture::File>();
  pid_t pid = start_cmd(wine_app_path, args, data->out->fd());
  if (pid < 0) {
    not_applied(data, _("写入DPI值失败，DPI未更改。"), "");
    return;
  }
  data->written = true;
  child_watch::watch(pid, data->limits.reg_ms,
                     [data](int status, bool timed_out) { after_write(data, status, timed_out); });
}

// The checks: at once, then one a second.
void check_value(dpi_apply_data *data) {
  if (apply_dpi_timeout(data))
    g_timeout_add_seconds(1, apply_dpi_timeout, data);
}

void ask_programs_to_close(dpi_apply_data *data);

// procs, the prefix's processes, is taken again after every answer and before
// anything is stopped: a program that came since the question, a new copy of
// an agreed one included, is asked about too, and nothing is stopped that the
// user has not agreed to.
void go_on(dpi_apply_data *data, std::vector<processes::Process> procs) {
  if (!processes::not_agreed(procs, data->approved).empty()) {
    hide_progress(data);
    if (!questions::ask_to_close(data->near, processes::program_names(procs))) {
      call_off(data);
      return;
    }
    data->approved = processes::take_programs(procs);
    show_progress(data, _("正在关闭程序，请稍候..."));
    ask_programs_to_close(data);
    return;
  }
  show_progress(data, _("正在设置DPI值，请稍候..."));
  if (!data->written) {
    // The user's programs go before the write. Wine's own stay until after it:
    // with them gone, reg would start the prefix anew (half a second and more)
    // rather than ask the running server (a tenth).
    stop::stop(processes::take_programs(procs));
    write_dpi_to_registry(data);
    return;
  }
  // The server writes user.reg when it ends, and on its own it ends two
  // seconds or more after reg, once Wine's services have quit.
  stop::stop(procs);
  stop::end_servers(processes::servers("/proc", prefix_path::current_prefix_places()),
                    [data] { check_value(data); });
}

void go_on(dpi_apply_data *data) { go_on(data, prefix_processes()); }

void after_write(dpi_apply_data *data, int status, bool timed_out) {
  const std::string &said = data->out->finish();
  data->reg_said = said.size();
  if (timed_out) {
    int seconds = data->limits.reg_ms / 1000;
    std::fprintf(stderr, "警告：写入DPI值的命令在 %d 秒内没有结束，已终止\n", seconds);
    hide_progress(data);
    questions::say_write_timed_out(data->near, seconds);
    std::fprintf(stderr, "警告：DPI设置可能未生效，请检查注册表文件\n");
    finish(data, false);
    return;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::fprintf(stderr, "错误：写入DPI值的命令失败，结束状态 %d\n", code);
    std::string line = output_capture::first_error_line(said);
    // TRANSLATORS: %d is the exit status of Wine's reg command.
    own::gchars status_text(g_strdup_printf(_("reg 的结束状态为 %d"), code));
    not_applied(data, _("写入DPI值失败，DPI未更改。"), line.empty() ? status_text.get() : line);
    return;
  }
  go_on(data);
}

int approved_running(const dpi_apply_data *data) {
  return static_cast<int>(std::count_if(data->approved.begin(), data->approved.end(),
                                        [](const auto &proc) { return !processes::ended(proc); }));
}

void on_end_session(dpi_apply_data *data, const end_session::Result &result) {
  using end_session::Outcome;
  std::vector<processes::Process> procs = prefix_processes();
  std::vector<std::string> names = processes::program_names(procs);
  switch (result.outcome) {
  case Outcome::agreed:
    // wineboot asks only the windows of its own desktop and ends at once
    // with 0 when another desktop's programs were never asked.
    if (names.empty() || !processes::other_desktop(procs)) {
      go_on(data, std::move(procs));
      return;
    }
    hide_progress(data);
    if (!questions::ask_to_force_unasked(data->near, names, "")) {
      call_off(data);
      return;
    }
    break;
  case Outcome::cannot_start:
    hide_progress(data);
    start_failure::report(data->near, wine_app_path, result.err);
    call_off(data);
    return;
  case Outcome::refused:
    hide_progress(data);
    questions::say_refused(data->near, names, data->written);
    call_off(data);
    return;
  case Outcome::cannot_run:
    hide_progress(data);
    if (!names.empty() && !questions::ask_to_force_unasked(data->near, names, result.wine_line)) {
      call_off(data);
      return;
    }
    break;
  case Outcome::no_answer:
    hide_progress(data);
    if (!names.empty() &&
        !questions::ask_to_force(data->near, names, data->limits.answer_ms / 1000)) {
      call_off(data);
      return;
    }
    break;
  }
  // Forced: what was named is agreed to; anything that came since is asked about.
  data->approved = processes::take_programs(procs);
  go_on(data);
}

// Every program gets its chance to ask its own questions, as at log-off.
void ask_programs_to_close(dpi_apply_data *data) {
  end_session::request(
      wine_app_path, data->limits.answer_ms, [data] { return approved_running(data); },
      [data](const end_session::Result &result) { on_end_session(data, result); });
}

gboolean begin(gpointer user_data) {
  auto *data = static_cast<dpi_apply_data *>(user_data);
  if (data->approved.empty())
    go_on(data);
  else
    ask_programs_to_close(data);
  return G_SOURCE_REMOVE;
}

// Once the value is in user.reg: what the change started in the prefix goes,
// and what the user agreed to close; a program started since is left alone.
void stop_again(const dpi_apply_data *data) {
  std::vector<processes::Process> keep, procs = prefix_processes();
  for (processes::Process &proc : procs)
    if (proc.housekeeping ||
        std::any_of(data->approved.begin(), data->approved.end(),
                    [&](const auto &agreed) { return processes::same_process(agreed, proc); }))
      keep.push_back(std::move(proc));
  stop::stop(keep);
}

} // namespace

bool confirm::program_started() { return program_on_its_way; }

void on_confirm_btn_clicked(GtkWidget *button, gpointer user_data) {
  // A click held back while a tool or a debug run went on starts nothing.
  if (change_running || activity::busy())
    return;
  auto *confirm = static_cast<confirm_data *>(user_data);
  bool no_prompt = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(confirm->no_prompt_check));

  // Wine runs nothing in a prefix it refuses: neither the program nor reg.
  std::string refusal = prefix_path::wine_refusal(prefix_path::current());
  if (!refusal.empty()) {
    change_running = true;
    start_failure::report_wine(button, refusal);
    change_running = false;
    return;
  }

  own::gchars chosen(gtk_combo_box_text_get_active_text(GTK_COMBO_BOX_TEXT(confirm->dpi_combo)));
  bool change = true;
  if (!chosen || chosen.get()[0] == '\0') {
    std::fprintf(stderr, "错误：未选中DPI值\n");
    change = false;
  } else if (std::strcmp(confirm->current_dpi, chosen.get()) == 0) {
    change = false;
  }

  change_running = true;
  if (!change) {
    // The choice is recorded once the program is on its way.
    bool started = !app_argv || start_program(button);
    change_running = false;
    if (!started)
      return;
    write_flag_file(no_prompt);
    if (!app_argv)
      return;
    gtk_main_quit();
    std::exit(0);
  }

  // Nothing is stopped or written, and nothing recorded, until the user has
  // agreed to close these programs.
  std::vector<processes::Process> procs = prefix_processes();
  std::vector<std::string> programs = processes::program_names(procs);
  if (!programs.empty() && !questions::ask_to_close(button, programs)) {
    change_running = false;
    return;
  }

  auto *data = new dpi_apply_data;
  data->near = button;
  data->no_prompt = no_prompt;
  data->target = chosen.release();
  data->max_attempts = kMaxAttempts;
  data->approved = processes::take_programs(procs);
  data->limits = confirm->limits;
  show_progress_dialog(data, programs.empty() ? _("正在设置DPI值，请稍候...")
                                              : _("正在关闭程序，请稍候..."));
  // At once, once the dialog is drawn.
  g_idle_add(begin, data);
}

gboolean apply_dpi_timeout(gpointer user_data) {
  auto *data = static_cast<dpi_apply_data *>(user_data);
  if (data->done)
    return finish(data, true);
  if (data->attempts >= data->max_attempts) {
    std::fprintf(stderr, "警告：DPI设置可能未生效，请检查注册表文件\n");
    // A server that reg started, and that could not save, said so here.
    std::string line;
    if (data->out)
      line = output_capture::first_error_line(data->out->finish().substr(data->reg_said));
    return not_applied(data, _("DPI设置可能未生效，请检查注册表文件"), line);
  }
  if (std::strcmp(get_current_dpi(), data->target) == 0) {
    data->done = 1;
    std::printf("DPI设置成功生效，当前DPI值: %s\n", data->target);
    stop_again(data);
    return finish(data, true);
  }
  ++data->attempts;
  if (data->dialog)
    pump_events();
  return TRUE;
}

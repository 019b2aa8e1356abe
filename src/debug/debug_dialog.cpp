#include "debug/debug_dialog.hpp"

#include "debug/capture.hpp"
#include "debug/debug_run.hpp"
#include "debug/log_destination_dialog.hpp"
#include "launch/activity.hpp"
#include "log/log_place.hpp"
#include "report/archive_step.hpp"
#include "settings/settings.hpp"
#include "util/accessible.hpp"
#include "util/i18n.hpp"
#include "util/message_box.hpp"
#include "util/own.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

const log_channel_preset log_channel[13] = {
    {0, N_("  标准日志  "), "+pid,+tid,+process,+module,+loaddll,+seh"},
    {1, N_("  窗口  "), "+pid,+tid,+event,+win,+x11drv"},
    {2, N_("  崩溃信息  "), "+pid,+tid,+relay,+seh,+process,+module,+loaddll"},
    {3, N_("  文件  "), "+pid,+tid,+file,+ntdll"},
    {4, N_("  字体  "), "+pid,+tid,+font"},
    {5, N_("  游戏图形  "), "+pid,+tid,+d3d"},
    {6, N_("  游戏声音  "),
     "+pid,+tid,+mmdevapi,+winmm,+driver,+msacm,+midi,+dsound,+dsound3d,+xaudio2,+xapofx,+dmusic,"
     "+mci,+pulse,+oss,+alsa,+coreaudio,+timestamp"},
    {7, N_("  网络连接  "), "+pid,+tid,+iphlpapi,+winhttp,+wininet,+winsock"},
    {8, N_("  键盘输入  "), "+pid,+tid,+key,+keyboard,+event"},
    {9, N_("  鼠标输入  "), "+pid,+tid,+cursor,+event"},
    {10, N_("  游戏控制  "), "+pid,+tid,+dinput,+joystick,+winmm,+xinput"},
    {11, N_("  打印  "), "+pid,+tid,+print,+psdrv,+winspool"},
    {-1, nullptr, nullptr},
};

GtkWidget *cmdline_entry = nullptr;
GtkWidget *log_channel_entry = nullptr;
GtkWidget *env_entry = nullptr;
GtkWidget *log_file_entry = nullptr;
gchar *log_file_path = nullptr;
int log_enabled = 0;
GtkWidget *log_config_ctrl[64] = {};

namespace {

// These checks guard fixed program data, so they stay on in every build.
[[noreturn]] void check_failed(const char *expr, const char *file, unsigned line,
                               const char *func) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s: %s:%u: %s: Assertion `%s' failed.\n", program_invocation_short_name,
               file, line, func, expr);
  std::abort();
}

#define DIALOG_CHECK(expr) ((expr) ? void(0) : check_failed(#expr, __FILE__, __LINE__, __func__))

GtkWidget *new_row(GtkWidget *vbox) {
  GtkWidget *row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
  gtk_box_pack_start(GTK_BOX(vbox), row, FALSE, FALSE, 5);
  return row;
}

GtkWidget *put(GtkWidget *row, GtkWidget *widget, bool expand = false) {
  gtk_box_pack_start(GTK_BOX(row), widget, expand, expand, 15);
  return widget;
}

GtkWidget *new_entry(int max_length) {
  GtkWidget *entry = gtk_entry_new();
  gtk_entry_set_max_length(GTK_ENTRY(entry), max_length);
  gtk_entry_set_activates_default(GTK_ENTRY(entry), TRUE);
  return entry;
}

// The pre-filled line when it had to be cut to fit the field, else empty: it must not run as
// it is, since its last argument may be short.
std::string cut_prefill;

void prefill_cmdline(GtkWidget *entry) {
  if (!app_argv)
    return;
  char buf[debug_cmdline::kSize];
  const char *const *args = app_argv[0] ? app_argv + 1 : app_argv;
  const bool fitted = debug_cmdline::compose(buf, wine_app_path, args);
  // Arguments come from outside in any encoding; the entry takes UTF-8 only.
  if (g_utf8_validate(buf, -1, nullptr)) {
    gtk_entry_set_text(GTK_ENTRY(entry), buf);
  } else {
    own::gchars valid(g_utf8_make_valid(buf, -1));
    gtk_entry_set_text(GTK_ENTRY(entry), valid.get());
  }
  if (!fitted)
    cut_prefill = gtk_entry_get_text(GTK_ENTRY(entry));
}

// Says that the pre-filled line was cut; true when it still stands as it was cut.
bool tell_cut_prefill(GtkWidget *dialog, bool at_run) {
  if (cut_prefill.empty() ||
      (at_run && cut_prefill != gtk_entry_get_text(GTK_ENTRY(cmdline_entry))))
    return false;
  own::gchars text(g_strdup_printf(
      at_run ? _("命令行还是被截断的预填内容，没有运行。")
             : _("程序的命令行太长，预填时在 %zu 字节处被截断，最后一个参数可能不完整。"),
      cut_prefill.size()));
  std::fprintf(stderr, "%s命令行太长，预填时在 %zu 字节处被截断%s\n", at_run ? "错误：" : "警告：",
               cut_prefill.size(), at_run ? "，没有运行" : "");
  message_box::run(message_box::create(dialog, at_run ? GTK_MESSAGE_ERROR : GTK_MESSAGE_WARNING,
                                       at_run ? _("错误") : _("警告"), text.get(),
                                       _("请先检查并修改命令行，再按“运行”。"), false),
                   _("确定"), nullptr);
  return true;
}

GtkWidget *build_debug_dialog(GtkWindow *parent) {
  GtkWidget *dialog = gtk_dialog_new_with_buttons(_("调试启动"), parent, GTK_DIALOG_MODAL,
                                                  _("取消"), 1, _("运行"), 2, nullptr);
  gtk_widget_set_size_request(dialog, 600, 400);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), 2);
  std::size_t ctrl_current_index = 0;
  GtkWidget *vbox = gtk_box_new(GTK_ORIENTATION_VERTICAL, 5);

  GtkWidget *row = new_row(vbox);
  GtkWidget *label = put(row, gtk_label_new(_("命令行:")));
  cmdline_entry = put(row, new_entry(1024), true);
  accessible::name_after(cmdline_entry, label);
  prefill_cmdline(cmdline_entry);

  row = new_row(vbox);
  GtkWidget *log_check = put(row, gtk_check_button_new_with_label(_("启动日志")), true);
  g_signal_connect(log_check, "clicked", G_CALLBACK(on_log_check_clicked), log_config_ctrl);

  row = new_row(vbox);
  GtkWidget *channel_label = put(row, gtk_label_new(_("Wine日志通道:")));
  register_log_config_ctrl(ctrl_current_index, channel_label);

  row = new_row(vbox);
  log_channel_entry = put(row, new_entry(255), true);
  accessible::name_after(log_channel_entry, channel_label);
  register_log_config_ctrl(ctrl_current_index, log_channel_entry);
  GtkWidget *combo = put(row, gtk_combo_box_text_new());
  atk_object_set_name(gtk_widget_get_accessible(combo),
                      gtk_label_get_text(GTK_LABEL(channel_label)));
  register_log_config_ctrl(ctrl_current_index, combo);
  g_signal_connect(combo, "changed", G_CALLBACK(combo_selected), dialog);
  for (const auto &preset : log_channel) {
    if (preset.id == -1)
      break;
    gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(combo), _(preset.label));
  }

  row = new_row(vbox);
  label = put(row, gtk_label_new(_("环境变量:")));
  register_log_config_ctrl(ctrl_current_index, label);

  row = new_row(vbox);
  env_entry = put(row, new_entry(255), true);
  accessible::name_after(env_entry, label);
  gtk_widget_set_tooltip_text(env_entry, "eg: ABC=1 TMP_ENV=1231 TMP_ENV1=abc");
  register_log_config_ctrl(ctrl_current_index, env_entry);

  row = new_row(vbox);
  label = put(row, gtk_label_new(_("日志文件:")));
  register_log_config_ctrl(ctrl_current_index, label);
  log_file_entry = put(row, new_entry(255), true);
  // It shows the file chosen with "..."; typing there would name a file nobody reads.
  gtk_editable_set_editable(GTK_EDITABLE(log_file_entry), FALSE);
  accessible::name_after(log_file_entry, label);
  register_log_config_ctrl(ctrl_current_index, log_file_entry);
  GtkWidget *file_btn = put(row, gtk_button_new_with_label("..."));
  accessible::connect_deferred(file_btn, on_log_file_btn_clicked, dialog);
  register_log_config_ctrl(ctrl_current_index, file_btn);

  GtkWidget *content = gtk_dialog_get_content_area(GTK_DIALOG(dialog));
  gtk_box_pack_start(GTK_BOX(content), vbox, FALSE, FALSE, 5);

  for (std::size_t i = 0; log_config_ctrl[i]; ++i)
    gtk_widget_set_sensitive(log_config_ctrl[i], FALSE);
  return dialog;
}

void clear_shared_state() {
  for (std::size_t i = 0; log_config_ctrl[i]; ++i)
    log_config_ctrl[i] = nullptr;
  g_free(log_file_path);
  log_file_path = nullptr;
  log_channel_entry = nullptr;
  env_entry = nullptr;
  cmdline_entry = nullptr;
  log_file_entry = nullptr;
  log_enabled = 0;
  cut_prefill.clear();
  log_place::release();
}

std::string entry_text(GtkWidget *entry) {
  return entry ? gtk_entry_get_text(GTK_ENTRY(entry)) : "";
}

// A run logged into files may be packed up, with the dialog's texts for system.txt.
void offer_archive(GtkWidget *near) {
  if (!log_enabled || !log_file_path)
    return;
  char command[2048];
  const std::string channels = entry_text(log_channel_entry), env = entry_text(env_entry);
  capture::compose_command(command, channels.c_str(), env.c_str(),
                           entry_text(cmdline_entry).c_str(), true);
  archive_step::after_run(near, log_file_path, {command, channels, env, {}});
}

} // namespace

void register_log_config_ctrl(std::size_t &ctrl_current_index, GtkWidget *widget) {
  // clang-format off
  DIALOG_CHECK(ctrl_current_index + 1 < sizeof(log_config_ctrl)/sizeof(log_config_ctrl[0]));
  // clang-format on
  log_config_ctrl[ctrl_current_index++] = widget;
}

const char *saved_log_location(const char *path) {
  // A null %s is undefined; say so in words when no file was chosen.
  return path ? path : "无";
}

void combo_selected(GtkComboBox *combo, gpointer) {
  int active = gtk_combo_box_get_active(combo);
  if (active < 0)
    return;
  auto index = static_cast<std::size_t>(active);
  // clang-format off
  DIALOG_CHECK(index < sizeof(log_channel)/ sizeof(log_channel[0]));
  // clang-format on
  if (!log_channel_entry)
    return;
  if (log_channel[index].channel)
    gtk_entry_set_text(GTK_ENTRY(log_channel_entry), log_channel[index].channel);
}

void on_log_check_clicked(GtkWidget *check, gpointer widget_list) {
  gboolean active = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(check));
  log_enabled = active ? 1 : 0;
  if (!widget_list)
    return;
  auto **widgets = static_cast<GtkWidget **>(widget_list);
  for (std::size_t i = 0; widgets[i]; ++i)
    gtk_widget_set_sensitive(widgets[i], active);
}

void on_debug_app_btn_clicked(GtkWidget *, gpointer main_window) {
  // A click held back while a tool or another run went on opens nothing.
  if (!activity::begin())
    return;
  GtkWindow *parent = GTK_IS_WINDOW(main_window) ? GTK_WINDOW(main_window) : nullptr;
  GtkWidget *dialog = build_debug_dialog(parent);
  // The dialog can be destroyed while it runs; the weak pointer then turns null.
  g_object_add_weak_pointer(G_OBJECT(dialog), reinterpret_cast<gpointer *>(&dialog));
  gtk_widget_show_all(dialog);
  tell_cut_prefill(dialog, false);
  bool close_window = false;
  for (;;) {
    int response = gtk_dialog_run(GTK_DIALOG(dialog));
    if (response == 2 && dialog && tell_cut_prefill(dialog, true))
      continue;
    if (response == 2) {
      // Returns once the run has ended; the dialog shows it meanwhile.
      const bool ran = process_debug_log();
      // Nothing ran and a box has said why: the fields stay for the user to mend.
      if (!ran && dialog)
        continue;
      if (ran) {
        // A log that stopped early is not said as saved whole.
        const bool cut = log_enabled && log_file_path && debug_run::log_was_cut();
        std::printf("保存的位置: %s%s\n", saved_log_location(log_file_path),
                    cut ? "（没有写完）" : "");
        // The main window was closed during the run: it closes now, without more questions.
        close_window = debug_run::window_closing();
        if (!close_window)
          offer_archive(dialog ? dialog : GTK_WIDGET(parent));
      }
    } else if (response != 1 && response != GTK_RESPONSE_DELETE_EVENT) {
      std::fprintf(stderr, "unknowed %d\n", response);
    }
    break;
  }
  // A dialog still standing after an unexpected answer would stay on screen,
  // modal and dead; destroy it unless it is gone already.
  if (dialog) {
    g_object_remove_weak_pointer(G_OBJECT(dialog), reinterpret_cast<gpointer *>(&dialog));
    gtk_widget_destroy(dialog);
  }
  clear_shared_state();
  activity::end();
  if (close_window && parent)
    gtk_widget_destroy(GTK_WIDGET(parent));
}

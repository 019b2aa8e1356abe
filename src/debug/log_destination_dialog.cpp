#include "debug/log_destination_dialog.hpp"

#include "debug/debug_dialog.hpp"
#include "log/log_destination.hpp"
#include "log/log_place.hpp"
#include "log/log_sink.hpp"
#include "util/accessible.hpp"
#include "util/bounded.hpp"
#include "util/i18n.hpp"
#include "util/message_box.hpp"
#include "util/own.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

struct FreeDeleter {
  void operator()(char *p) const { std::free(p); }
};
using malloced = std::unique_ptr<char, FreeDeleter>;

// Shows a message dialog over parent and returns its answer; text is shown as it is.
int ask(GtkWindow *parent, GtkMessageType type, GtkButtonsType buttons, const char *title,
        const char *text) {
  GtkWidget *message =
      gtk_message_dialog_new(parent, GTK_DIALOG_DESTROY_WITH_PARENT, type, buttons, "%s", text);
  gtk_window_set_title(GTK_WINDOW(message), title);
  int response = gtk_dialog_run(GTK_DIALOG(message));
  gtk_widget_destroy(message);
  return response;
}

void release_log_file_path() {
  g_free(log_file_path);
  log_file_path = nullptr;
}

void release_sink() {
  if (!mycat)
    return;
  log4c_category_delete(mycat);
  mycat = nullptr;
}

// Says which log files of this name the log will leave alone; the destination stays chosen.
void warn_foreign_log_entries(GtkWindow *parent, const char *dir, const char *name, int count) {
  std::string names;
  for (const std::string &entry : log_destination::foreign_log_entries(dir, name, count))
    names += (names.empty() ? "" : "\n") + entry;
  if (names.empty())
    return;
  own::gchars text(
      g_strdup_printf(_("这些文件不是您自己的普通文件，日志不会写入、移动或删除：\n%s\n"
                        "这个名字的日志无法正常轮转，建议换一个文件名或文件夹。"),
                      names.c_str()));
  ask(parent, GTK_MESSAGE_WARNING, GTK_BUTTONS_OK, "Warning", text.get());
}

// No destination: the field says so too, and the series is no longer ours.
void clear_destination() {
  release_log_file_path();
  if (log_file_entry)
    gtk_entry_set_text(GTK_ENTRY(log_file_entry), "");
  log_place::release();
}

void tell_error(GtkWindow *parent, const char *text, const char *detail) {
  message_box::run(message_box::create(GTK_WIDGET(parent), GTK_MESSAGE_ERROR, _("错误"), text,
                                       detail ? detail : "", false),
                   _("确定"), nullptr);
}

// Whether the chosen file can take the log: its folder must take new files, and no other
// debug run may be writing its series. Says why not in a box; claims the series when it can.
bool destination_usable(GtkWindow *parent) {
  if (int err = log_place::folder_error(log_file_path)) {
    const std::string folder = log_place::folder_of(log_file_path);
    std::fprintf(stderr, "错误：无法在文件夹 %s 中写入日志：%s\n", folder.c_str(),
                 std::strerror(err));
    own::gchars text(
        g_strdup_printf(_("无法在文件夹 %s 中写入日志，请选择其他位置。"), folder.c_str()));
    tell_error(parent, text.get(), std::strerror(err));
    return false;
  }
  char *dir_text = nullptr, *name_text = nullptr;
  split_path(log_file_path, '/', &dir_text, &name_text);
  malloced dir(dir_text), name(name_text);
  if (!dir || !name)
    return true; // no memory: the set-up below stops on its own
  bool busy = log_place::in_use(dir.get(), name.get());
  if (!busy && !log_place::claim(dir.get(), name.get())) {
    busy = errno == EADDRINUSE; // claimed since the look just before
    if (!busy)
      std::fprintf(stderr, "警告：无法标记日志 %s 正在使用：%s\n", log_file_path,
                   std::strerror(errno));
  }
  if (!busy)
    return true;
  std::fprintf(stderr, "错误：%s 正在被另一个调试运行写入\n", log_file_path);
  own::gchars text(
      g_strdup_printf(_("%s 正在被另一个调试运行写入，请选择其他名称。"), log_file_path));
  tell_error(parent, text.get(), nullptr);
  return false;
}

void pack(GtkWidget *box, GtkWidget *widget) {
  gtk_box_pack_start(GTK_BOX(box), widget, FALSE, FALSE, 5);
}

} // namespace

int read_log_size_input(GtkEntry *size_entry, GtkComboBoxText *unit_combo, GtkEntry *count_entry,
                        std::int64_t *size, char *unit, int *count) {
  own::gchars active(gtk_combo_box_text_get_active_text(unit_combo));
  const char *unit_text = active ? active.get() : "";
  int result = log_destination::parse_size_input(
      gtk_entry_get_text(size_entry), gtk_entry_get_text(count_entry), unit_text, size, count);
  if (result == 0)
    bounded::format(unit, log_destination::unit_text_size, "%s", unit_text);
  return result;
}

void show_log_size_dialog(GtkWindow *parent, const char *const *units, int unit_count,
                          std::int64_t *size, char *unit, int *count) {
  GtkWidget *dialog =
      gtk_dialog_new_with_buttons(_("请设置文件大小以及需要保留最近几个文件"), parent,
                                  GTK_DIALOG_MODAL, _("取消"), 1, _("确定"), 2, nullptr);
  gtk_widget_set_size_request(dialog, 600, 400);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), 2);

  GtkWidget *row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
  pack(gtk_dialog_get_content_area(GTK_DIALOG(dialog)), row);
  GtkWidget *size_label = gtk_label_new(_("每个文件大小:"));
  pack(row, size_label);
  GtkWidget *size_entry = gtk_entry_new();
  gtk_entry_set_activates_default(GTK_ENTRY(size_entry), TRUE);
  pack(row, size_entry);
  accessible::name_after(size_entry, size_label);
  GtkWidget *unit_combo = gtk_combo_box_text_new();
  for (int i = 0; i < unit_count; ++i)
    gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(unit_combo), units[i]);
  gtk_combo_box_set_active(GTK_COMBO_BOX(unit_combo), 1);
  atk_object_set_name(gtk_widget_get_accessible(unit_combo), _("每个文件大小:"));
  pack(row, unit_combo);
  GtkWidget *count_label = gtk_label_new(_("最大保存文件个数:"));
  pack(row, count_label);
  GtkWidget *count_entry = gtk_entry_new();
  gtk_entry_set_activates_default(GTK_ENTRY(count_entry), TRUE);
  accessible::name_after(count_entry, count_label);
  gtk_entry_set_text(GTK_ENTRY(count_entry), "1");
  pack(row, count_entry);

  // The dialog can be destroyed while it runs; the weak pointer then turns null.
  g_object_add_weak_pointer(G_OBJECT(dialog), reinterpret_cast<gpointer *>(&dialog));
  gtk_widget_show_all(dialog);
  for (;;) {
    int response = gtk_dialog_run(GTK_DIALOG(dialog));
    if (response == 2) {
      int result = read_log_size_input(GTK_ENTRY(size_entry), GTK_COMBO_BOX_TEXT(unit_combo),
                                       GTK_ENTRY(count_entry), size, unit, count);
      if (result != 0) {
        const char *text = result == 1 ? _("每个文件大小 无效\n请重新输入")
                                       : _("最大保存文件个数 无效\n请重新输入");
        ask(parent, GTK_MESSAGE_WARNING, GTK_BUTTONS_OK, "Warning", text);
        if (dialog)
          continue;
        // Destroyed while the warning was up: what running it again would have answered.
        std::fprintf(stderr, "unknowed %d\n", GTK_RESPONSE_NONE);
        return;
      }
    } else if (response != 1 && response != GTK_RESPONSE_DELETE_EVENT) {
      std::fprintf(stderr, "unknowed %d\n", response);
    }
    break;
  }
  // After an unexpected answer a dialog still standing would stay on screen, modal and dead.
  if (dialog) {
    g_object_remove_weak_pointer(G_OBJECT(dialog), reinterpret_cast<gpointer *>(&dialog));
    gtk_widget_destroy(dialog);
  }
}

void check_same_prefix_files(GtkWindow *parent, const char *dir, const char *name) {
  log_destination::scan_same_prefix_files(dir, name, [parent, dir](const char *entry) {
    // A file of a series that a debug run is writing is not the user's to lose.
    if (log_place::in_use(dir, entry))
      return false;
    own::gchars text(g_strdup_printf(_("检测到存在相同前缀文件: %s\n是否删除？"), entry));
    return ask(parent, GTK_MESSAGE_QUESTION, GTK_BUTTONS_YES_NO, _("确认删除"), text.get()) ==
           GTK_RESPONSE_YES;
  });
}

void on_log_file_btn_clicked(GtkWidget *, gpointer user_data) {
  if (!user_data)
    return;
  GtkWindow *dialog = GTK_WINDOW(user_data);

  // The buttons are GTK's own texts, in GTK's catalogue; the title is in ours.
  GtkWidget *chooser = gtk_file_chooser_dialog_new(
      _("Save File"), dialog, GTK_FILE_CHOOSER_ACTION_SAVE, g_dgettext("gtk30", "_Cancel"),
      GTK_RESPONSE_CANCEL, g_dgettext("gtk30", "_Save"), GTK_RESPONSE_ACCEPT, nullptr);
  GtkFileChooser *file_chooser = GTK_FILE_CHOOSER(chooser);
  // The overwrite question is ours, asked after the choice.
  gtk_file_chooser_set_do_overwrite_confirmation(file_chooser, FALSE);
  // The empty path names no folder, so the chooser opens where it likes.
  gtk_file_chooser_set_current_folder(file_chooser, "");
  gtk_file_chooser_set_current_name(file_chooser, "Untitled.log");
  const int response = gtk_dialog_run(GTK_DIALOG(chooser));
  gchar *chosen =
      response == GTK_RESPONSE_ACCEPT ? gtk_file_chooser_get_filename(file_chooser) : nullptr;
  gtk_widget_destroy(chooser);
  // "取消", Escape and the window closed all cancel: the earlier choice stays as it was.
  if (!chosen)
    return;
  g_free(log_file_path);
  log_file_path = chosen;

  if (!log_file_entry)
    return;
  release_sink();
  log_place::release();
  if (!destination_usable(dialog)) {
    clear_destination();
    return;
  }

  struct stat st;
  const bool overwrite = stat(log_file_path, &st) == 0;
  if (overwrite && ask(dialog, GTK_MESSAGE_QUESTION, GTK_BUTTONS_YES_NO, "Question",
                       _("文件已存在确定覆盖吗?")) != GTK_RESPONSE_YES) {
    clear_destination();
    return;
  }

  std::int64_t size = 0;
  char unit[log_destination::unit_text_size] = {};
  int count = 0;
  show_log_size_dialog(dialog, log_destination::units, log_destination::unit_count, &size, unit,
                       &count);
  if (size == 0 || count == 0) {
    clear_destination(); // the file that was to be overwritten stays
    return;
  }
  // Only now that everything is confirmed. One that cannot go is left: the sink writes
  // numbered files beside it.
  if (overwrite)
    unlink(log_file_path);

  char bytes_text[log_destination::bytes_text_size] = {};
  size_to_bytes_text(size, unit, bytes_text, sizeof(bytes_text));

  char *dir_text = nullptr, *name_text = nullptr;
  split_path(log_file_path, '/', &dir_text, &name_text);
  malloced dir(dir_text), name(name_text);
  if (!dir || !name)
    return;

  warn_foreign_log_entries(dialog, dir.get(), name.get(), count);
  check_same_prefix_files(dialog, dir.get(), name.get());
  gtk_entry_set_text(GTK_ENTRY(log_file_entry), log_file_path);
  long long bytes = std::atoll(bytes_text);
  init_log_sink(dir.get(), name.get(), bytes, count);
  std::printf("dir: %s, filename: %s, size: %lld, num: %d\n", dir.get(), name.get(), bytes, count);
}

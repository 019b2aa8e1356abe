#include "debug/run_progress.hpp"

#include "util/accessible.hpp"
#include "util/i18n.hpp"
#include "util/own.hpp"

#include <cinttypes>
#include <cstdio>

namespace run_progress {

std::string elapsed_text(std::int64_t seconds) {
  if (seconds < 0)
    seconds = 0;
  char text[32];
  const std::int64_t h = seconds / 3600, m = seconds / 60 % 60, s = seconds % 60;
  if (h > 0)
    std::snprintf(text, sizeof text, "%" PRId64 ":%02" PRId64 ":%02" PRId64, h, m, s);
  else
    std::snprintf(text, sizeof text, "%" PRId64 ":%02" PRId64, m, s);
  return text;
}

namespace {

// A row of the figures: the name, and the value that screen readers hear under it.
GtkWidget *add_row(GtkWidget *grid, int row, const char *name) {
  GtkWidget *label = gtk_label_new(name);
  gtk_widget_set_halign(label, GTK_ALIGN_START);
  GtkWidget *value = gtk_label_new("");
  gtk_widget_set_halign(value, GTK_ALIGN_START);
  gtk_widget_set_hexpand(value, TRUE);
  gtk_label_set_selectable(GTK_LABEL(value), TRUE);
  gtk_label_set_ellipsize(GTK_LABEL(value), PANGO_ELLIPSIZE_MIDDLE);
  gtk_grid_attach(GTK_GRID(grid), label, 0, row, 1, 1);
  gtk_grid_attach(GTK_GRID(grid), value, 1, row, 1, 1);
  accessible::name_after(value, label);
  return value;
}

void set_text(GtkWidget *label, const std::string &text) {
  if (label && text != gtk_label_get_text(GTK_LABEL(label)))
    gtk_label_set_text(GTK_LABEL(label), text.c_str());
}

} // namespace

view::view(GtkWidget *dialog, const capture::live_run &run, const char *log_file,
           void (*on_stop)(GtkWidget *, gpointer), gpointer data)
    : dialog_(dialog), run_(run), started_(g_get_monotonic_time()) {
  if (!dialog_)
    return;
  g_object_ref(dialog_);
  // The fields and the answers stay as they were, greyed; only the run can be acted on.
  GtkWidget *content = gtk_dialog_get_content_area(GTK_DIALOG(dialog_));
  GList *kids = gtk_container_get_children(GTK_CONTAINER(content));
  for (GList *l = kids; l; l = l->next)
    gtk_widget_set_sensitive(GTK_WIDGET(l->data), FALSE);
  g_list_free(kids);
  // Not modal while the run goes on, so that the main window can be closed, which
  // asks first; what starts something there is insensitive meanwhile.
  modal_ = gtk_window_get_modal(GTK_WINDOW(dialog_));
  gtk_window_set_modal(GTK_WINDOW(dialog_), FALSE);

  box_ = gtk_box_new(GTK_ORIENTATION_VERTICAL, 6);
  gtk_container_set_border_width(GTK_CONTAINER(box_), 15);
  GtkWidget *grid = gtk_grid_new();
  gtk_grid_set_row_spacing(GTK_GRID(grid), 4);
  gtk_grid_set_column_spacing(GTK_GRID(grid), 12);
  gtk_box_pack_start(GTK_BOX(box_), grid, FALSE, FALSE, 0);
  time_ = add_row(grid, 0, _("运行时间:"));
  if (run_.captured()) {
    lines_ = add_row(grid, 1, _("已记录行数:"));
    bytes_ = add_row(grid, 2, _("已记录字节:"));
    GtkWidget *file = add_row(grid, 3, _("正在写入:"));
    const std::string name = std::string(log_file ? log_file : "") + ".0";
    own::gchars shown(g_filename_display_name(name.c_str()));
    gtk_label_set_text(GTK_LABEL(file), shown.get());
    gtk_widget_set_tooltip_text(file, shown.get());
  }
  GtkWidget *row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
  state_ = gtk_label_new("");
  gtk_widget_set_halign(state_, GTK_ALIGN_START);
  gtk_label_set_line_wrap(GTK_LABEL(state_), TRUE);
  gtk_box_pack_start(GTK_BOX(row), state_, TRUE, TRUE, 0);
  stop_ = gtk_button_new_with_label(_("停止"));
  // It asks in a box of its own, which the accessibility bus must reach too.
  accessible::connect_deferred(stop_, on_stop, data);
  gtk_box_pack_end(GTK_BOX(row), stop_, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(box_), row, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(content), box_, FALSE, FALSE, 5);
  gtk_widget_show_all(box_);
  gtk_widget_grab_focus(stop_);
  refresh();
  timer_ = g_timeout_add(refresh_ms, tick, this);
}

view::~view() {
  if (!dialog_)
    return;
  g_source_remove(timer_);
  if (box_)
    gtk_widget_destroy(box_);
  GtkWidget *content = gtk_dialog_get_content_area(GTK_DIALOG(dialog_));
  GList *kids = gtk_container_get_children(GTK_CONTAINER(content));
  for (GList *l = kids; l; l = l->next)
    gtk_widget_set_sensitive(GTK_WIDGET(l->data), TRUE);
  g_list_free(kids);
  gtk_window_set_modal(GTK_WINDOW(dialog_), modal_);
  g_object_unref(dialog_);
}

void view::stopping() {
  stopping_ = true;
  if (stop_)
    gtk_widget_set_sensitive(stop_, FALSE);
  refresh();
}

void view::refresh() {
  if (!dialog_)
    return;
  set_text(time_, elapsed_text((g_get_monotonic_time() - started_) / G_USEC_PER_SEC));
  if (lines_) {
    char lines[32];
    std::snprintf(lines, sizeof lines, "%" PRIu64,
                  run_.figures().lines.load(std::memory_order_relaxed));
    set_text(lines_, lines);
    own::gchars size(g_format_size(run_.figures().bytes.load(std::memory_order_relaxed)));
    set_text(bytes_, size.get());
  }
  const char *state = run_.program_ended() ? _("程序已结束，正在等待 Wine 的进程结束...")
                      : stopping_          ? _("正在停止程序...")
                                           : "";
  set_text(state_, state);
}

gboolean view::tick(gpointer self) {
  static_cast<view *>(self)->refresh();
  return G_SOURCE_CONTINUE;
}

} // namespace run_progress

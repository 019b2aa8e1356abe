#include "shell/main_window.hpp"

#include "confirm/confirm.hpp"
#include "debug/debug_dialog.hpp"
#include "debug/debug_run.hpp"
#include "launch/activity.hpp"
#include "prefix/dpi_reader.hpp"
#include "settings/settings.hpp"
#include "shell/dpi_suggestion.hpp"
#include "shell/dpi_suggestion_display.hpp"
#include "shell/tool_buttons.hpp"
#include "shell/warmup_hook.hpp"
#include "util/accessible.hpp"
#include "util/i18n.hpp"
#include "util/own.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

const char *const dpi_values[12] = {"96",  "120", "144", "168", "192", "216",
                                    "240", "288", "336", "384", "432", "480"};

namespace {

constexpr char kStyleSheet[] =
    "label { font-size: 16px; }button { font-size: 16px; }button.default { background-color: "
    "#4CAF50; color: white; border-radius: 5px; }button.default:hover { background-color: "
    "#45a049; }separator { background-color: #cccccc; }";

// The stock theme paints every button with a background image, which covers the sheet's
// background-color, and dresses it for dark text on light grey (grey border, white inset line
// and text shadow, a dark focus ring, a grey image when pressed). Clearing that for the default
// button lets the sheet's green and white show in every state, focused or not; a press shows as an
// inset shadow instead of the theme's grey.
constexpr char kDefaultButtonOverTheme[] =
    "button.default { background-image: none; border-color: transparent; box-shadow: none; "
    "text-shadow: none; outline-color: rgba(255, 255, 255, 0.6); }"
    "button.default:active { box-shadow: inset 0 2px 3px rgba(0, 0, 0, 0.3); }";

constexpr char kIconTail[] = "/desktop/icons/hicolor/48x48/apps/wineconfig.png";

void set_window_icon(GtkWindow *window) {
  const char *dir = get_exe_dir();
  if (!dir) {
    perror("获取当前程序所在目录失败，图标未设置");
    return;
  }
  std::string path = icon_path_for(dir);
  own::gobject<GdkPixbuf> icon(gdk_pixbuf_new_from_file(path.c_str(), nullptr));
  if (icon)
    gtk_window_set_icon(window, icon.get());
}

void add_style_sheet(const char *text) {
  own::gobject<GtkCssProvider> css(gtk_css_provider_new());
  gtk_css_provider_load_from_data(css.get(), text, -1, nullptr);
  gtk_style_context_add_provider_for_screen(
      gdk_display_get_default_screen(gdk_display_get_default()), GTK_STYLE_PROVIDER(css.get()),
      GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
}

GtkWidget *new_row(GtkWidget *vbox, const char *label_text) {
  GtkWidget *row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 10);
  gtk_box_pack_start(GTK_BOX(vbox), row, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(row), gtk_label_new(label_text), FALSE, FALSE, 0);
  return row;
}

void add_separator(GtkWidget *vbox) {
  gtk_box_pack_start(GTK_BOX(vbox), gtk_separator_new(GTK_ORIENTATION_HORIZONTAL), FALSE, FALSE, 0);
}

GtkWidget *add_row_button(GtkWidget *row, const char *text, GCallback on_clicked) {
  GtkWidget *button = gtk_button_new_with_label(text);
  g_signal_connect(button, "clicked", on_clicked, nullptr);
  gtk_box_pack_end(GTK_BOX(row), button, FALSE, FALSE, 0);
  activity::add_starter(button);
  return button;
}

// A tool that runs goes on running when the window closes. A debug run would lose
// what it has not yet logged: the user is asked first, and the window closes once
// the program has been stopped and everything is in the log.
gboolean on_main_window_delete(GtkWidget *window, GdkEvent *, gpointer) {
  if (debug_run::running()) {
    debug_run::stop_for_closing(window);
    return TRUE;
  }
  return FALSE; // destroyed, which ends the main loop
}

// Escape closes the window as its close button does; a widget that takes Escape itself (an
// open list) keeps it, since this runs after the window has offered the key to its focus.
gboolean close_on_escape(GtkWidget *window, GdkEventKey *event, gpointer) {
  if (event->keyval != GDK_KEY_Escape || (event->state & gtk_accelerator_get_default_mod_mask()))
    return FALSE;
  gtk_window_close(GTK_WINDOW(window));
  return TRUE;
}

// What the DPI row's suggestion is worked out from, owned by the suggestion's label.
struct dpi_hint {
  GtkWidget *combo;
  const char *current_dpi; // the prefix's value; a later read of the registry refills it
};

// Where the helper is a Wayland client, Wine's windows go to Xwayland: how its screen compares
// with the monitors' own pixels tells whether the compositor enlarges X windows itself.
desktop_view desktop_of(GtkWidget *window) {
  desktop_view view{gtk_widget_get_scale_factor(window),
                    gdk_screen_get_resolution(gtk_widget_get_screen(window))};
  double pixels = monitor_pixel_area(gtk_widget_get_display(window));
  if (pixels <= 0)
    return view;
  view.wayland = true;
  x_side x;
  if (read_x_side(nullptr, &x) && x.width > 0 && x.height > 0) {
    // Areas, so that monitors side by side or stacked count alike; exact for one monitor or
    // several of one scale.
    view.x_zoom = std::sqrt(pixels / (static_cast<double>(x.width) * x.height));
    view.x_dpi = x.dpi;
  }
  return view;
}

// Shows the value that suits the desktop where the window is now, or hides the label when there
// is none. Connected swapped, so every signal hands the label first.
void refresh_dpi_hint(GtkWidget *label) {
  auto *hint = static_cast<dpi_hint *>(g_object_get_data(G_OBJECT(label), "dpi-hint"));
  GtkWidget *window = gtk_widget_get_toplevel(label);
  dpi_suggestion s = suggest_dpi(desktop_of(window), hint->current_dpi, dpi_values);
  AtkObject *combo = gtk_widget_get_accessible(hint->combo);
  if (s.index < 0) {
    gtk_widget_hide(label);
    atk_object_set_description(combo, "");
    return;
  }
  // TRANSLATORS: after the DPI box, the value that makes text the size of the rest of the desktop.
  own::gchars text(g_strdup_printf(_("建议 %s"), dpi_values[s.index]));
  const char *why_format =
      // TRANSLATORS: %s is the suggested DPI, %d%% the desktop's scale, such as 200%.
      _("建议 %s dpi：此处桌面缩放为 %d%%，选用此值时文字与桌面其他部分一样大");
  own::gchars why(g_strdup_printf(why_format, dpi_values[s.index], s.percent));
  if (s.x_percent != 100)
    why.reset(g_strdup_printf(
        // TRANSLATORS: %s is the suggested DPI, the first %d%% the desktop's scale, the second
        // how much the desktop itself enlarges the windows of Windows programs.
        _("建议 %s dpi：此处桌面缩放为 %d%%，并已将 Wine 的窗口放大到 "
          "%d%%；选用此值时文字与桌面其他部分一样大"),
        dpi_values[s.index], s.percent, s.x_percent));
  gtk_label_set_text(GTK_LABEL(label), text.get());
  gtk_widget_set_tooltip_text(label, why.get());
  atk_object_set_description(combo, why.get());
  gtk_widget_show(label);
}

// A quieter label after "dpi", hidden until the desktop's scale suggests another value than the
// prefix's. It follows the window to a monitor of another scale and the desktop's text scaling.
void add_dpi_hint(GtkWidget *window, GtkWidget *row, GtkWidget *combo, const char *current) {
  GtkWidget *label = gtk_label_new(nullptr);
  gtk_style_context_add_class(gtk_widget_get_style_context(label), GTK_STYLE_CLASS_DIM_LABEL);
  gtk_widget_set_no_show_all(label, TRUE);
  gtk_box_pack_start(GTK_BOX(row), label, FALSE, FALSE, 0);
  auto *hint = g_new(dpi_hint, 1);
  *hint = {combo, current};
  g_object_set_data_full(G_OBJECT(label), "dpi-hint", hint, g_free);
  auto refresh = G_CALLBACK(refresh_dpi_hint);
  // Connected to the label, so the screen and its settings, which outlive the window, let go
  // of the handlers when it is gone.
  for (auto [source, signal] :
       {std::pair<gpointer, const char *>{window, "realize"},
        {window, "notify::scale-factor"},
        {gtk_widget_get_screen(window), "notify::resolution"},
        {gtk_widget_get_screen(window), "monitors-changed"},
        {gtk_settings_get_for_screen(gtk_widget_get_screen(window)), "notify::gtk-xft-dpi"}})
    g_signal_connect_object(source, signal, refresh, label, G_CONNECT_SWAPPED);
}

} // namespace

int dpi_index_of(const char *text) {
  for (int i = 0; i < 12; ++i)
    if (std::strcmp(text, dpi_values[i]) == 0)
      return i;
  return -1;
}

std::string icon_path_for(const char *dir) {
  // Built in a string rather than exe_dir, so a long install path still fits.
  std::string path(dir);
  std::size_t slash = path.rfind('/');
  if (slash != std::string::npos)
    path.erase(slash);
  return path + kIconTail;
}

gboolean grab_confirm_btn_default(gpointer button) {
  GtkWidget *widget = GTK_WIDGET(button);
  GtkWidget *top = gtk_widget_get_toplevel(widget);
  gtk_widget_set_can_default(widget, TRUE);
  if (GTK_IS_WINDOW(top))
    gtk_window_set_default(GTK_WINDOW(top), widget);
  gtk_widget_grab_default(widget);
  gtk_widget_grab_focus(widget);
  return FALSE;
}

GtkWidget *build_main_window(const confirm::limits &limits) {
  GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(window), _("wine辅助程序"));
  gtk_window_set_default_size(GTK_WINDOW(window), 400, 300);
  gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
  set_window_icon(GTK_WINDOW(window));

  g_signal_connect(window, "delete_event", G_CALLBACK(on_main_window_delete), nullptr);
  g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
  g_signal_connect_after(window, "key-press-event", G_CALLBACK(close_on_escape), nullptr);

  GtkWidget *vbox = gtk_box_new(GTK_ORIENTATION_VERTICAL, 10);
  gtk_container_add(GTK_CONTAINER(window), vbox);
  gtk_container_set_border_width(GTK_CONTAINER(vbox), 20);

  GtkWidget *heading = gtk_label_new(nullptr);
  gtk_label_set_markup(GTK_LABEL(heading), _("<b>选择需要配置的内容</b>"));
  gtk_box_pack_start(GTK_BOX(vbox), heading, FALSE, FALSE, 0);
  gtk_widget_set_halign(heading, GTK_ALIGN_START);

  add_style_sheet(kStyleSheet);
  add_style_sheet(kDefaultButtonOverTheme);

  GtkWidget *row = new_row(vbox, _("容器配置"));
  add_row_button(row, _("配置"), G_CALLBACK(on_wine_cfg_btn_clicked));
  add_separator(vbox);

  row = new_row(vbox, _("屏幕分辨率"));
  GtkWidget *dpi_combo = gtk_combo_box_text_new();
  for (const char *dpi : dpi_values)
    gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(dpi_combo), dpi);
  gtk_box_pack_start(GTK_BOX(row), dpi_combo, FALSE, FALSE, 0);
  GList *row_children = gtk_container_get_children(GTK_CONTAINER(row));
  accessible::name_after(dpi_combo, GTK_WIDGET(row_children->data));
  g_list_free(row_children);
  const char *dpi = get_current_dpi();
  int index = dpi_index_of(dpi);
  if (index < 0) {
    std::fprintf(stderr, "警告：未找到匹配的DPI值，使用默认值96\n");
    index = 0;
  }
  gtk_combo_box_set_active(GTK_COMBO_BOX(dpi_combo), index);
  gtk_box_pack_start(GTK_BOX(row), gtk_label_new("dpi"), FALSE, FALSE, 0);
  add_dpi_hint(window, row, dpi_combo, dpi);
  add_separator(vbox);

  row = new_row(vbox, _("程序调试"));
  GtkWidget *debug_btn = gtk_button_new_with_label(_("调试"));
  accessible::connect_deferred(debug_btn, on_debug_app_btn_clicked, window);
  activity::add_starter(debug_btn);
  gtk_box_pack_end(GTK_BOX(row), debug_btn, FALSE, FALSE, 0);
  add_separator(vbox);

  row = new_row(vbox, _("网络代理"));
  add_row_button(row, _("设置"), G_CALLBACK(on_net_proxy_btn_clicked));
  add_separator(vbox);

  row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 10);
  gtk_box_pack_start(GTK_BOX(vbox), row, FALSE, FALSE, 0);
  GtkWidget *no_prompt = gtk_check_button_new_with_label(_("不再提示"));
  gtk_box_pack_start(GTK_BOX(row), no_prompt, FALSE, FALSE, 0);
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(no_prompt), TRUE);
  GtkWidget *confirm = gtk_button_new_with_label(_("确定"));
  auto *data = g_new0(confirm_data, 1);
  data->dpi_combo = dpi_combo;
  data->no_prompt_check = no_prompt;
  data->current_dpi = dpi;
  data->limits = limits;
  accessible::connect_deferred(confirm, on_confirm_btn_clicked, data);
  activity::add_starter(confirm);
  gtk_box_pack_end(GTK_BOX(row), confirm, FALSE, FALSE, 0);

  // Key presses can reach the window before its first idle moment: Enter must
  // already find "确定", not the first button in the row above.
  grab_confirm_btn_default(confirm);
  gtk_widget_show_all(window);
  g_idle_add(grab_confirm_btn_default, confirm);
  return window;
}

void run_main_window(const confirm::limits &limits) {
  warm_prefix_when_drawn(build_main_window(limits));
  gtk_main();
}

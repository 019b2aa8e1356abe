#include "dialog_driver.hpp"
#include "prefix/dpi_reader.hpp"
#include "settings/settings.hpp"
#include "shell/main_window.hpp"
#include "test_support.hpp"
#include "util/own.hpp"

#include <gdk/gdkx.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <cstring>
#include <string>
#include <vector>

using namespace testsupport;

namespace {

std::string text_of(GtkWidget *w) {
  if (GTK_IS_LABEL(w))
    return gtk_label_get_text(GTK_LABEL(w));
  if (GTK_IS_BUTTON(w))
    return gtk_button_get_label(GTK_BUTTON(w));
  return {};
}

void pump() {
  while (gtk_events_pending())
    gtk_main_iteration();
}

class MainWindowTest : public testing::Test {
protected:
  void open_with_registry(const std::string &reg) {
    write_file(dir / "user.reg", reg);
    wine_prefix = dir.path().c_str();
    std::strcpy(current_dpi, "96");
    CaptureStdout();
    CaptureStderr();
    window = build_main_window();
    out = GetCapturedStdout();
    err = GetCapturedStderr();
    ASSERT_NE(window, nullptr);
    // Closing or destroying the window quits the main loop; the tests own the loop here.
    g_signal_handlers_disconnect_by_func(window, reinterpret_cast<gpointer>(gtk_main_quit),
                                         nullptr);
    vbox = children(window).at(0);
    rows = children(vbox);
  }
  void TearDown() override {
    if (window)
      gtk_widget_destroy(window);
    pump();
    wine_prefix = nullptr;
  }
  GtkWidget *combo() { return children(rows.at(3)).at(1); }

  TempDir dir;
  GtkWidget *window = nullptr;
  GtkWidget *vbox = nullptr;
  std::vector<GtkWidget *> rows;
  std::string out, err;
};

const std::string kDesktop = "[Control Panel\\\\Desktop] 1\n";

TEST_F(MainWindowTest, TreeTitleAndPacking) {
  open_with_registry(kDesktop + "\"LogPixels\"=dword:00000090\n");
  EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(window)), "wine辅助程序");
  int w = 0, h = 0;
  gtk_window_get_default_size(GTK_WINDOW(window), &w, &h);
  EXPECT_EQ(w, 400);
  EXPECT_EQ(h, 300);
  EXPECT_EQ(gtk_box_get_spacing(GTK_BOX(vbox)), 10);
  EXPECT_EQ(gtk_container_get_border_width(GTK_CONTAINER(vbox)), 20u);

  ASSERT_EQ(rows.size(), 10u);
  EXPECT_EQ(std::string(gtk_label_get_label(GTK_LABEL(rows[0]))), "<b>选择需要配置的内容</b>");
  EXPECT_TRUE(gtk_label_get_use_markup(GTK_LABEL(rows[0])));
  EXPECT_EQ(gtk_widget_get_halign(rows[0]), GTK_ALIGN_START);
  for (int sep : {2, 4, 6, 8})
    EXPECT_TRUE(GTK_IS_SEPARATOR(rows[sep])) << sep;

  struct RowExpect {
    int index;
    std::vector<std::string> texts;
  };
  for (const auto &row : std::vector<RowExpect>{{1, {"容器配置", "配置"}},
                                                {3, {"屏幕分辨率", "", "dpi", "建议 96"}},
                                                {5, {"程序调试", "调试"}},
                                                {7, {"网络代理", "设置"}},
                                                {9, {"不再提示", "确定"}}}) {
    // What the row shows: a prefix at 144 on a desktop that does not scale is offered 96.
    std::vector<GtkWidget *> kids;
    for (GtkWidget *kid : children(rows[row.index]))
      if (gtk_widget_get_visible(kid))
        kids.push_back(kid);
    ASSERT_EQ(kids.size(), row.texts.size()) << row.index;
    EXPECT_EQ(gtk_box_get_spacing(GTK_BOX(rows[row.index])), 10);
    for (size_t i = 0; i < kids.size(); ++i) {
      EXPECT_EQ(text_of(kids[i]), row.texts[i]) << row.index << "/" << i;
      gboolean expand, fill;
      guint padding;
      GtkPackType pack;
      gtk_box_query_child_packing(GTK_BOX(rows[row.index]), kids[i], &expand, &fill, &padding,
                                  &pack);
      EXPECT_FALSE(expand);
      EXPECT_FALSE(fill);
      EXPECT_EQ(padding, 0u);
      bool is_button = GTK_IS_BUTTON(kids[i]) && !GTK_IS_CHECK_BUTTON(kids[i]);
      EXPECT_EQ(pack, is_button ? GTK_PACK_END : GTK_PACK_START) << row.texts[i];
    }
  }
  GtkWidget *check = children(rows[9]).at(0);
  EXPECT_TRUE(GTK_IS_CHECK_BUTTON(check));
  EXPECT_TRUE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(check)));
}

TEST_F(MainWindowTest, ComboHoldsTwelveValuesAndOpensOnStoredDpi) {
  open_with_registry(kDesktop + "\"LogPixels\"=dword:00000090\n");
  GtkTreeModel *model = gtk_combo_box_get_model(GTK_COMBO_BOX(combo()));
  EXPECT_EQ(gtk_tree_model_iter_n_children(model, nullptr), 12);
  EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(combo())), 2);
  EXPECT_EQ(err, "");
  EXPECT_EQ(out, "从文件 " + dir.path() + "/user.reg 解析到DPI: 144\n");
}

// The desktop changes under the open window, one change a row: the scale of its monitor (set as
// GDK_SCALE=2 sets it) or the font resolution (GNOME's text scaling, KDE's font DPI).
TEST_F(MainWindowTest, SuggestionFollowsTheDesktopAndLeavesTheComboAlone) {
  open_with_registry(kDesktop + "\"LogPixels\"=dword:00000060\n");
  GtkSettings *settings = gtk_settings_get_default();
  int saved_xft_dpi = 0;
  g_object_get(settings, "gtk-xft-dpi", &saved_xft_dpi, nullptr);
  GtkWidget *hint = children(rows[3]).at(3);
  const struct {
    int scale, font_dpi;         // 0: unchanged; font_dpi -1: the desktop sets none
    const char *label, *percent; // label "": hidden
  } steps[] = {{0, 0, "", ""},
               {2, 0, "建议 192", "200%"},
               {0, 144, "建议 288", "300%"},
               {1, 0, "建议 144", "150%"},
               {0, -1, "", ""}};
  CaptureStdout();
  CaptureStderr();
  for (const auto &step : steps) {
    SCOPED_TRACE(std::to_string(step.scale) + " " + std::to_string(step.font_dpi));
    if (step.scale)
      gdk_x11_display_set_window_scale(gdk_display_get_default(), step.scale);
    if (step.font_dpi)
      g_object_set(settings, "gtk-xft-dpi", step.font_dpi < 0 ? -1 : step.font_dpi * 1024, nullptr);
    EXPECT_TRUE(eventually(
        [&] { return pump(), (gtk_widget_get_visible(hint) ? text_of(hint) : "") == step.label; },
        5));
    own::gchars tip(gtk_widget_get_tooltip_text(hint));
    std::string description = atk_object_get_description(gtk_widget_get_accessible(combo()));
    EXPECT_EQ(description, *step.label && tip ? tip.get() : "");
    EXPECT_THAT(description, HasSubstr(step.percent));
    EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(combo())), 0);
  }
  EXPECT_EQ(GetCapturedStdout() + GetCapturedStderr(), "");
  EXPECT_TRUE(gtk_style_context_has_class(gtk_widget_get_style_context(hint), "dim-label"));
  gdk_x11_display_set_window_scale(gdk_display_get_default(), 1);
  g_object_set(settings, "gtk-xft-dpi", saved_xft_dpi, nullptr);
}

TEST_F(MainWindowTest, UnknownDpiWarnsAndOpensOn96) {
  open_with_registry(kDesktop + "\"LogPixels\"=dword:00000064\n");
  EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(combo())), 0);
  EXPECT_EQ(err, "警告：未找到匹配的DPI值，使用默认值96\n");
  EXPECT_STREQ(current_dpi, "100");
}

TEST_F(MainWindowTest, NoValueFallsBackWithoutWindowWarning) {
  open_with_registry("");
  EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(combo())), 0);
  EXPECT_EQ(err, "在文件 " + dir.path() +
                     "/user.reg 中未找到LogPixels值\n"
                     "警告：无法从注册表文件读取DPI值，使用默认值96\n");
}

TEST_F(MainWindowTest, ConfirmIsTheFocusedDefaultOnceIdle) {
  open_with_registry(kDesktop + "\"LogPixels\"=dword:00000060\n");
  GtkWidget *confirm = children(rows[9]).at(1);
  // An Enter that arrives before the first idle moment already finds it.
  EXPECT_EQ(gtk_window_get_focus(GTK_WINDOW(window)), confirm);
  EXPECT_EQ(gtk_window_get_default_widget(GTK_WINDOW(window)), confirm);
  // Show and let the idle callback run.
  for (int i = 0; i < 50 && !gtk_widget_has_focus(confirm); ++i) {
    pump();
    g_usleep(10000);
  }
  EXPECT_TRUE(gtk_widget_has_default(confirm));
  EXPECT_TRUE(gtk_widget_has_focus(confirm));
  EXPECT_EQ(gtk_window_get_default_widget(GTK_WINDOW(window)), confirm);
  EXPECT_TRUE(gtk_style_context_has_class(gtk_widget_get_style_context(confirm), "default"));
}

// The stock theme paints buttons with an image over the sheet's colours. Taken from the X server
// with "确定" focused and under the pointer, the button must show the hover green and white text.
TEST_F(MainWindowTest, DefaultButtonShowsGreenAndWhiteOnScreen) {
  open_with_registry("");
  GtkWidget *confirm = children(rows[9]).at(1);
  ASSERT_TRUE(eventually([&] { return pump(), gtk_widget_has_default(confirm); }, 5));
  GtkAllocation box;
  gtk_widget_get_allocation(confirm, &box);
  int ox = 0, oy = 0, px = 0, py = 0;
  gdk_window_get_origin(gtk_widget_get_window(window), &ox, &oy);
  GdkDisplay *display = gdk_display_get_default();
  GdkDevice *pointer = gdk_seat_get_pointer(gdk_display_get_default_seat(display));
  GdkScreen *screen = gdk_display_get_default_screen(display);
  gdk_device_get_position(pointer, nullptr, &px, &py);
  // Without a window manager the keyboard focus goes where the pointer is.
  gdk_device_warp(pointer, screen, ox + box.x + box.width / 2, oy + box.y + box.height / 2);
  int green = 0, white = 0;
  auto shown = [&] {
    pump();
    own::gobject<GdkPixbuf> shot(gdk_pixbuf_get_from_window(gtk_widget_get_window(window), box.x,
                                                            box.y, box.width, box.height));
    const guchar *pixels = gdk_pixbuf_read_pixels(shot.get());
    int stride = gdk_pixbuf_get_rowstride(shot.get()), step = gdk_pixbuf_get_n_channels(shot.get());
    green = white = 0;
    for (int y = 0; y < box.height; ++y)
      for (int x = 0; x < box.width; ++x) {
        const guchar *p = pixels + y * stride + x * step;
        green += p[0] == 0x45 && p[1] == 0xa0 && p[2] == 0x49;
        white += p[0] >= 0xf0 && p[1] >= 0xf0 && p[2] >= 0xf0;
      }
    return gtk_widget_has_focus(confirm) &&
           (gtk_widget_get_state_flags(confirm) & GTK_STATE_FLAG_PRELIGHT) &&
           green > box.width * box.height / 2 && white >= 10;
  };
  EXPECT_TRUE(eventually(shown, 5))
      << green << " green and " << white << " white pixels of " << box.width * box.height;
  gdk_device_warp(pointer, screen, px, py);
}

TEST_F(MainWindowTest, StyleSheetAppliesToLabels) {
  open_with_registry("");
  pump();
  PangoFontDescription *font = nullptr;
  gtk_style_context_get(gtk_widget_get_style_context(children(rows[1]).at(0)),
                        GTK_STATE_FLAG_NORMAL, "font", &font, nullptr);
  ASSERT_NE(font, nullptr);
  EXPECT_EQ(pango_font_description_get_size(font) / PANGO_SCALE, 16 * 72 / 96);
  pango_font_description_free(font);
}

} // namespace

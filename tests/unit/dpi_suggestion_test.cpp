#include "shell/dpi_suggestion.hpp"
#include "shell/main_window.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// GDK_DPI_SCALE=1.1 on a desktop at 96 makes its resolution 105.6, nearer 96 than 120; 108 and
// 264 lie halfway between two values, and the lower wins. On Wayland, at scale 2, mutter's default
// draws X windows 1:1 (zoom 1), weston and mutter's fractional mode enlarge them (zoom 2).
TEST(DpiSuggestion, NearestOfTheTwelveForWhatTheDesktopDoesWithWineWindows) {
  const struct {
    desktop_view desktop;
    const char *current, *suggested; // suggested "": none
    int percent, x_percent;
  } rows[] = {
      {{1, -1}, "96", "", 100, 100},
      {{1, -1}, "144", "96", 100, 100},
      {{1, 96}, "120", "96", 100, 100},
      {{2, -1}, "96", "192", 200, 100},
      {{2, 96}, "192", "", 200, 100},
      {{1, 144}, "96", "144", 150, 100},
      {{2, 120}, "96", "240", 250, 100},
      {{1, 105.6}, "144", "96", 110, 100},
      {{1, 105.6}, "100", "96", 110, 100},
      {{1, 108}, "144", "96", 113, 100},
      {{1, 264}, "96", "240", 275, 100},
      {{1, 72}, "120", "96", 75, 100},
      {{3, 192}, "96", "480", 600, 100},
      // weston at scale 1, and with GDK_DPI_SCALE=1.5
      {{1, 96, true, 1}, "96", "", 100, 100},
      {{1, 144, true, 1}, "96", "144", 150, 100},
      // weston and mutter's fractional mode at scale 2
      {{2, 96, true, 2}, "96", "", 200, 200},
      {{2, 96, true, 2}, "192", "96", 200, 200},
      {{2, 120, true, 2}, "96", "120", 250, 200},
      // mutter's default at scale 2
      {{2, 96, true, 1}, "96", "192", 200, 100},
      {{2, 96, true, 1}, "192", "", 200, 100},
      // a compositor that lets X programs scale themselves and tells them so
      {{2, 96, true, 1, 192}, "96", "192", 200, 100},
      {{1, 96, true, 1, 144}, "96", "144", 100, 100},
      // an Xft.dpi of 96 left from an X11 session does not halve the suggestion
      {{2, 96, true, 1, 96}, "96", "192", 200, 100},
      // no X display for Wine's windows: nothing to measure
      {{2, 96, true, 0}, "192", "", 200, 100},
  };
  for (const auto &r : rows) {
    const desktop_view &d = r.desktop;
    SCOPED_TRACE(std::to_string(d.scale_factor) + " × " + std::to_string(d.resolution) +
                 (d.wayland ? " wayland zoom " + std::to_string(d.x_zoom) + " x dpi " +
                                  std::to_string(d.x_dpi)
                            : "") +
                 " at " + r.current);
    dpi_suggestion s = suggest_dpi(d, r.current, dpi_values);
    EXPECT_EQ(s.index < 0 ? "" : std::string(dpi_values[s.index]), r.suggested);
    EXPECT_EQ(s.percent, r.percent);
    EXPECT_EQ(s.x_percent, r.x_percent);
  }
}

// An XSETTINGS property in either byte order, with an integer, a string and a colour before
// Xft/DPI, and cut anywhere; and the resource text xrdb leaves on the root window.
TEST(DpiSuggestion, DpiAnnouncedToXPrograms) {
  auto settings = [](bool msb) {
    std::vector<unsigned char> b;
    auto put = [&](unsigned v, int bytes) {
      for (int i = 0; i < bytes; ++i)
        b.push_back(static_cast<unsigned char>(v >> (8 * (msb ? bytes - 1 - i : i))));
    };
    auto u16 = [&](unsigned v) { put(v, 2); };
    auto u32 = [&](unsigned v) { put(v, 4); };
    auto name = [&](int type, const std::string &n) {
      b.push_back(static_cast<unsigned char>(type));
      b.push_back(0);
      u16(static_cast<unsigned>(n.size()));
      b.insert(b.end(), n.begin(), n.end());
      b.resize((b.size() + 3) & ~std::size_t{3});
      u32(7); // last change
    };
    b = {static_cast<unsigned char>(msb), 0, 0, 0};
    u32(1);
    u32(4);
    name(0, "Gdk/WindowScalingFactor");
    u32(2);
    name(1, "Net/ThemeName");
    u32(7);
    b.insert(b.end(), {'A', 'd', 'w', 'a', 'i', 't', 'a', 0});
    name(2, "Gtk/Color");
    u32(0);
    u32(0);
    name(0, "Xft/DPI");
    u32(144 * 1024);
    return b;
  };
  for (bool msb : {false, true}) {
    std::vector<unsigned char> b = settings(msb);
    EXPECT_DOUBLE_EQ(xsettings_dpi(b.data(), b.size()), 144) << msb;
    for (std::size_t cut = 0; cut < b.size(); ++cut)
      EXPECT_EQ(xsettings_dpi(b.data(), cut), 0) << msb << " cut at " << cut;
    b[msb ? 11 : 8] = 3; // three settings, before Xft/DPI
    EXPECT_EQ(xsettings_dpi(b.data(), b.size()), 0);
  }
  EXPECT_EQ(xsettings_dpi(nullptr, 0), 0);

  const struct {
    const char *resources;
    double dpi;
  } rows[] = {{"Xft.dpi:\t192\n", 192},
              {"Xcursor.size:\t48\nXft.antialias:\t1\nXft.dpi:\t120", 120},
              {"Xft.dpi:\t96\nXft.dpi:\t144\n", 144},
              {"Xft.dpi:\tlarge\n", 0},
              {"*dpi:\t192\nXft.dpix:\t192\n", 0},
              {"", 0},
              {nullptr, 0}};
  for (const auto &r : rows)
    EXPECT_EQ(resource_dpi(r.resources), r.dpi) << (r.resources ? r.resources : "none");
}

} // namespace

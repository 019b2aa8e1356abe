#include "shell/dpi_suggestion.hpp"
#include "shell/main_window.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

// GDK_DPI_SCALE=1.1 on a desktop at 96 makes its resolution 105.6, nearer 96 than 120; 108 and
// 264 lie halfway between two values, and the lower wins.
TEST(DpiSuggestion, NearestOfTheTwelveUnlessTheDesktopSaysNothingOrThePrefixHasIt) {
  const struct {
    int scale_factor;
    double resolution;               // -1: the desktop sets none
    const char *current, *suggested; // suggested "": none
    int percent;
  } rows[] = {
      {1, -1, "144", "", 100},      {1, 96, "120", "", 100},      {2, -1, "96", "192", 200},
      {2, 96, "192", "", 200},      {1, 144, "96", "144", 150},   {2, 120, "96", "240", 250},
      {1, 105.6, "144", "96", 110}, {1, 105.6, "100", "96", 110}, {1, 108, "144", "96", 113},
      {1, 264, "96", "240", 275},   {1, 72, "120", "96", 75},     {3, 192, "96", "480", 600}};
  for (const auto &r : rows) {
    SCOPED_TRACE(std::to_string(r.scale_factor) + " × " + std::to_string(r.resolution) + " at " +
                 r.current);
    dpi_suggestion s = suggest_dpi(r.scale_factor, r.resolution, r.current, dpi_values);
    EXPECT_EQ(s.index < 0 ? "" : std::string(dpi_values[s.index]), r.suggested);
    EXPECT_EQ(s.percent, r.percent);
  }
}

} // namespace

#include "shell/dpi_suggestion.hpp"

#include <cmath>
#include <cstdlib>
#include <cstring>

dpi_suggestion suggest_dpi(int scale_factor, double resolution, const char *current,
                           std::span<const char *const> values) {
  // The DPI at which text is drawn as large as the desktop draws its own.
  double wanted = (scale_factor > 1 ? scale_factor : 1) * (resolution > 0 ? resolution : 96.0);
  int percent = static_cast<int>(std::lround(wanted * 100 / 96));
  if (std::fabs(wanted - 96) < 1e-6 || values.empty())
    return {-1, percent};
  int best = 0;
  for (int i = 1; i < static_cast<int>(values.size()); ++i)
    if (std::fabs(std::atoi(values[i]) - wanted) < std::fabs(std::atoi(values[best]) - wanted))
      best = i;
  if (current && std::strcmp(values[best], current) == 0)
    return {-1, percent};
  return {best, percent};
}

#include "shell/dpi_suggestion.hpp"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

dpi_suggestion suggest_dpi(const desktop_view &desktop, const char *current,
                           std::span<const char *const> values) {
  const int scale = desktop.scale_factor > 1 ? desktop.scale_factor : 1;
  const double text_dpi = desktop.resolution > 0 ? desktop.resolution : 96.0;
  // The DPI at which text is drawn as large as the desktop draws its own.
  double wanted = scale * text_dpi;
  double x_scale = 1;
  const int percent = static_cast<int>(std::lround(wanted * 100 / 96));
  if (desktop.wayland) {
    if (desktop.x_zoom <= 0)
      return {-1, percent, 100};
    // A DPI announced to X programs that leaves out the compositor's own scale (an Xft.dpi of 96
    // kept from an X11 session) must not make it smaller.
    x_scale = desktop.x_zoom;
    wanted = std::fmax(wanted / x_scale, desktop.x_dpi);
  }
  dpi_suggestion s{-1, percent, static_cast<int>(std::lround(x_scale * 100))};
  if (values.empty())
    return s;
  int best = 0;
  for (int i = 1; i < static_cast<int>(values.size()); ++i)
    if (std::fabs(std::atoi(values[i]) - wanted) < std::fabs(std::atoi(values[best]) - wanted))
      best = i;
  if (!current || std::strcmp(values[best], current) != 0)
    s.index = best;
  return s;
}

namespace {

// Reads the XSETTINGS wire format: a byte-order byte, serial and count, then settings of
// type, name, last-change serial and value, each padded to four bytes.
class xsettings_reader {
public:
  xsettings_reader(const unsigned char *data, std::size_t size) : data_(data), size_(size) {}
  bool skip(std::size_t n) {
    n = (n + 3) & ~static_cast<std::size_t>(3);
    if (n > size_ - at_)
      return false;
    at_ += n;
    return true;
  }
  bool u32(std::uint32_t *v) {
    if (size_ - at_ < 4)
      return false;
    const unsigned char *p = data_ + at_;
    *v = msb_ ? (std::uint32_t{p[0]} << 24 | p[1] << 16 | p[2] << 8 | p[3])
              : (std::uint32_t{p[3]} << 24 | p[2] << 16 | p[1] << 8 | p[0]);
    at_ += 4;
    return true;
  }
  double find_dpi() {
    if (size_ < 12)
      return 0;
    msb_ = data_[0] == 1;
    at_ = 4;
    std::uint32_t serial, count;
    if (!u32(&serial) || !u32(&count))
      return 0;
    for (std::uint32_t i = 0; i < count; ++i) {
      if (size_ - at_ < 4)
        return 0;
      const unsigned char type = data_[at_];
      const std::size_t name_len =
          msb_ ? (data_[at_ + 2] << 8 | data_[at_ + 3]) : (data_[at_ + 3] << 8 | data_[at_ + 2]);
      at_ += 4;
      if (name_len > size_ - at_)
        return 0;
      std::string_view name(reinterpret_cast<const char *>(data_ + at_), name_len);
      std::uint32_t value;
      if (!skip(name_len) || !u32(&serial))
        return 0;
      if (type == 0) {
        if (!u32(&value))
          return 0;
        if (name == "Xft/DPI")
          return static_cast<std::int32_t>(value) > 0 ? static_cast<std::int32_t>(value) / 1024.0
                                                      : 0;
      } else if (type == 1) {
        if (!u32(&value) || !skip(value))
          return 0;
      } else if (type == 2) {
        if (!skip(8))
          return 0;
      } else {
        return 0;
      }
    }
    return 0;
  }

private:
  const unsigned char *data_;
  std::size_t size_;
  std::size_t at_ = 0;
  bool msb_ = false;
};

} // namespace

double xsettings_dpi(const unsigned char *data, std::size_t size) {
  return data ? xsettings_reader(data, size).find_dpi() : 0;
}

double resource_dpi(const char *resources) {
  if (!resources)
    return 0;
  // Lines "name:<blanks>value"; the last one wins, as xrdb merges them.
  double dpi = 0;
  for (const char *line = resources; *line;) {
    const char *end = std::strchr(line, '\n');
    std::string_view text(line, end ? static_cast<std::size_t>(end - line) : std::strlen(line));
    constexpr std::string_view key = "Xft.dpi:";
    if (text.substr(0, key.size()) == key) {
      double v = std::strtod(std::string(text.substr(key.size())).c_str(), nullptr);
      dpi = v > 0 ? v : 0;
    }
    if (!end)
      break;
    line = end + 1;
  }
  return dpi;
}

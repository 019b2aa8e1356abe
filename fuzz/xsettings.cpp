// The XSETTINGS and resource readers on any bytes: nothing read outside the input, a DPI that is
// finite and never negative, and bytes after a whole property that change nothing (the reader
// stops at the count of settings it was given). The resource reader sees the input as text.
#include "fuzz_support.hpp"
#include "shell/dpi_suggestion.hpp"

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  // An exact copy, so that ASan sees any read past the end.
  auto exact = std::make_unique<unsigned char[]>(size ? size : 1);
  if (size)
    std::memcpy(exact.get(), data, size);
  double dpi = xsettings_dpi(exact.get(), size);
  FUZZ_CHECK(std::isfinite(dpi) && dpi >= 0);
  if (dpi > 0) {
    std::vector<unsigned char> longer(exact.get(), exact.get() + size);
    longer.insert(longer.end(), {0, 7, 0, 7, 'X', 'f', 't', '/'});
    FUZZ_CHECK(xsettings_dpi(longer.data(), longer.size()) == dpi);
  }
  std::string text(reinterpret_cast<const char *>(data), size);
  double resource = resource_dpi(text.c_str());
  FUZZ_CHECK(resource >= 0 && !std::isnan(resource));
  return 0;
}

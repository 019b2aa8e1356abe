// The size dialog's numbers. The input's NUL-separated texts are the typed
// size, the typed count and the unit. parse_size_input and size_to_bytes_text
// agree with an atoll reference computed in 128 bits with explicit range checks.
#include "fuzz_support.hpp"
#include "log/log_destination.hpp"

#include <climits>
#include <cstring>
#include <memory>

namespace {

using wide = __int128;

// atoll's reading, never overflowing (saturates far beyond 64 bits), of a text that holds a
// number and nothing but blanks after it; any other text reads as 0.
wide reference_atoll(const char *text) {
  if (!text)
    return 0;
  std::size_t i = 0;
  while (fuzz::is_c_space(text[i]))
    ++i;
  bool negative = false;
  if (text[i] == '+' || text[i] == '-')
    negative = text[i++] == '-';
  wide value = 0;
  const std::size_t digits = i;
  for (; text[i] >= '0' && text[i] <= '9'; ++i)
    if (value <= wide{1} << 80)
      value = value * 10 + (text[i] - '0');
  if (i == digits)
    return 0;
  // Anything but blanks after the number makes it no number at all (the blanks
  // of GLib's ASCII class, which leaves the vertical tab out).
  while (text[i] && std::strchr(" \t\n\f\r", text[i]))
    ++i;
  if (text[i] != '\0')
    return 0;
  return negative ? -value : value;
}

// The unit's factor; 0 for a text that is not exactly one of the units.
wide reference_factor(const char *unit) {
  const char *names[] = {"B", "KB", "MB", "GB"};
  for (int i = 0; unit && i < 4; ++i)
    if (std::strcmp(unit, names[i]) == 0)
      return wide{1} << (10 * i);
  return 0;
}

bool fits_int64(wide v) { return v >= INT64_MIN && v <= INT64_MAX; }

std::string decimal(wide v) {
  if (v == 0)
    return "0";
  std::string out;
  const bool negative = v < 0;
  for (; v != 0; v /= 10)
    out.insert(out.begin(), static_cast<char>('0' + (negative ? -(v % 10) : v % 10)));
  return negative ? "-" + out : out;
}

void check_bytes_text(wide size, const char *unit, std::size_t out_size) {
  const wide bytes = size * reference_factor(unit);
  const bool fits = fits_int64(bytes);
  const std::string expected = fits ? decimal(bytes) : "0";
  auto out = std::make_unique<char[]>(out_size);
  const bool ok = size_to_bytes_text(static_cast<std::int64_t>(size), unit, out.get(), out_size);
  FUZZ_CHECK(ok == fits);
  FUZZ_CHECK(expected.compare(0, out_size - 1, out.get()) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::vector<std::string> texts = fuzz::split_at_nul(fuzz::bytes(data, size));
  const char *size_text = texts[0].c_str();
  const char *count_text = texts.size() > 1 ? texts[1].c_str() : nullptr;
  const char *unit = texts.size() > 2 ? texts[2].c_str() : nullptr;

  const wide typed_size = reference_atoll(size_text);
  const wide typed_count = reference_atoll(count_text);
  int expected = 0;
  if (typed_size < 1 || typed_size > INT64_MAX || !fits_int64(typed_size * reference_factor(unit)))
    expected = 1;
  else if (typed_count < 1 || typed_count > INT_MAX)
    expected = 2;

  std::int64_t got_size = -7;
  int got_count = -7;
  const int status =
      log_destination::parse_size_input(size_text, count_text, unit, &got_size, &got_count);
  FUZZ_CHECK(status == expected);
  if (status == 0) {
    FUZZ_CHECK(got_size == typed_size && got_count == typed_count);
  } else {
    FUZZ_CHECK(got_size == -7 && got_count == -7);
  }

  // Any 64-bit size, negative and huge ones included, in the text buffer the
  // dialog uses and in a small one.
  const wide clamped = typed_size > INT64_MAX   ? wide{INT64_MAX}
                       : typed_size < INT64_MIN ? wide{INT64_MIN}
                                                : typed_size;
  check_bytes_text(clamped, unit, log_destination::bytes_text_size);
  check_bytes_text(clamped, unit, 1 + size % 24);
  return 0;
}

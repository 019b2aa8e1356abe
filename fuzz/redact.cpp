// Redaction of any text for any identity: putting the names back gives every byte of the text
// (line ends, "«" and invalid UTF-8 included), and the text redacted a piece of whole lines at a
// time, as the archive reads a log, comes out as the whole text redacted at once.
// The input is the user, a home and the host, each ended by a NUL, then the text.
#include "report/redact.hpp"
#include "fuzz_support.hpp"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::string_view in = fuzz::bytes(data, size);
  std::string fields[3];
  for (std::string &field : fields) {
    const std::size_t end = in.find('\0');
    if (end == std::string_view::npos || end > 64)
      return 0;
    field = std::string(in.substr(0, end));
    in.remove_prefix(end + 1);
  }
  const redact::identity who{fields[0], {fields[1]}, fields[2]};
  const redact::redactor r(who);
  const std::string whole = r(in);
  FUZZ_CHECK(redact::restore(whole, who) == in);

  std::string pieces;
  std::size_t from = 0;
  while (from < in.size()) {
    std::size_t cut = in.find('\n', from + (in.size() - from) / 2);
    cut = cut == std::string_view::npos ? in.size() : cut + 1;
    r.append(in.substr(from, cut - from), pieces);
    from = cut;
  }
  FUZZ_CHECK(pieces == whole);
  return 0;
}

#pragma once
// What a Wine command prints, kept so that its first error line can be shown
// in a box. The output goes to an unlinked file rather than a pipe: Wine's
// server and services, which inherit it, may write long after the command has
// ended and this process has stopped reading, and must neither block nor be
// killed for want of a reader.
#include "util/own.hpp"

#include <string>
#include <string_view>

namespace output_capture {

class File {
public:
  File(); // holds nothing (fd -1) when no file could be made: the output then goes as before
  int fd() const { return fd_.get(); }
  // Everything written so far, at most kMax bytes; what is new since the
  // last call is copied to stderr, so nothing the command said is lost.
  // Called again, it also has what the processes the command started (the
  // prefix's server) wrote since.
  const std::string &finish();

  static constexpr std::size_t kMax = 65536;

private:
  own::fd fd_;
  std::string text_;
};

// The first line of text that is not empty and not one of Wine's debug
// messages ("0024:fixme:...", "err:..."), without its line end; empty when
// there is none.
std::string first_error_line(std::string_view text);

} // namespace output_capture

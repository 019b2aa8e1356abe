#pragma once
// The prefix directory as a file-system path: wine_prefix with a leading "~"
// or "~/" replaced by HOME (the default "~/.wine" is stored unexpanded).
#include <string>

namespace prefix_path {

// Expands a leading "~" of text with home; text is returned unchanged when it
// has no such "~" or home is null.
std::string expand(const char *text, const char *home);

// wine_prefix expanded with the current HOME; empty when wine_prefix is unset or empty.
std::string current();

} // namespace prefix_path

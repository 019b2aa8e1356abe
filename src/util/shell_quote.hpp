#pragma once
// Making texts safe to place in a command line that /bin/sh reads.
#include <string>
#include <string_view>

namespace shell_quote {

// True when the text holds only characters the shell takes literally
// (letters, digits, / . _ - + , : @ %, bytes beyond ASCII, and ~ anywhere but
// first), or is empty. No '=': a first word holding one would be read as an
// assignment.
bool is_plain_word(std::string_view text);

// The text as one single-quoted shell word; embedded single quotes become '\''.
std::string quote(std::string_view text);

// A plain word stays as it is; anything else is quoted.
std::string quote_if_needed(std::string_view text);

// Flushes stdout and stderr so a child created next does not print pending
// output a second time.
void flush_std_streams();

} // namespace shell_quote

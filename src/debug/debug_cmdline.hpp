#pragma once
// The command line the debug dialog opens with: the launcher and the program's
// own arguments as shell words that give the program exactly those arguments.
// Plain text work, no GTK.
#include <cstddef>

namespace debug_cmdline {

// Size of the buffer the command line is composed in; the text stays at most
// kSize - 2 bytes long.
inline constexpr std::size_t kSize = 1024;

// Writes " <launcher>" and then, for each entry of args up to its null end,
// " \"<arg>\"" for a drive path and " <arg>" otherwise. The launcher and any
// argument that the shell would split, expand or reject (a drive path too, when
// double quotes would not keep it) are single-quoted instead.
// Bytes that are not UTF-8 are written as "$(printf '\ooo')", so the text is UTF-8.
// A piece that does not fit is cut, never inside a UTF-8 character, and
// nothing follows it. Returns true when everything fitted.
bool compose(char (&buf)[kSize], const char *launcher, const char *const *args);

} // namespace debug_cmdline

// 1 for a text that starts with a drive letter b..y or B..Y and ':', else 0.
int is_windows_path(const char *text);

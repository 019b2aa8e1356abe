#pragma once
// The show-again flag file, $HOME/.config/nivra-wine/enable_wine_start_helper:
// one byte, "0" (do not show again) or "1". Written on every confirm; read only
// outside this program. The folder is never created here. Paths that do not
// fit their buffer are refused with a message, never used cut.

// Writes "$HOME/.config/nivra-wine" into dir[size]; false (with a message on
// stderr) when HOME is unset or the path does not fit.
bool get_real_flag_file_dir(char *dir, int size);

// Writes "<flag dir>/<file_name>" into name[size]; false (with a message on
// stderr) when the folder or the full path cannot be formed.
bool get_real_flag_file_name(char *name, int size, const char *file_name);

// Replaces the flag file's content with "0" when no_prompt is ticked, else
// "1". Failures are reported on stderr and leave the file as it was.
void write_flag_file(bool no_prompt);

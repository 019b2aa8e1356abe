#pragma once
// Where a debug log goes: whether its folder takes new files, and which log
// series a debug run (of this or another helper) is writing, so that no file of
// one is offered for deletion or overwritten. A series is claimed for as long as
// the dialog that chose it is open; the claim ends with the process at the
// latest. Claims are private to the user: another user can neither take one nor
// see which logs are claimed. Main thread; no GTK.

#include <string>

namespace log_place {

// The folder of file_path as messages name it: "/" for a file right under the root.
std::string folder_of(const char *file_path);

// 0 when new files can be made in the folder of file_path, else the errno that
// says why not.
int folder_error(const char *file_path);

// Claims the series dir/prefix.N for this process in place of its earlier
// claim. False when another claim holds it (errno EADDRINUSE) or the claim
// cannot be made (no folder of the user's own to keep it in).
bool claim(const char *dir, const char *prefix);
// Ends this process's claim, if any.
void release();

// True when a claim other than this process's own holds the series that the
// file name in dir belongs to: name itself, or name without a last ".N".
bool in_use(const char *dir, const char *name);

} // namespace log_place

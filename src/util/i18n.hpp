#pragma once
// The window's texts in the user's language, through gettext. The Chinese texts are
// the source strings, so a language without a catalogue sees them as written. Lines
// printed to standard output or standard error and log records never pass through _().
#include <libintl.h>

#include <string>

namespace i18n {

inline constexpr char kDomain[] = "nivra-wine-helper";

// Where the catalogues are for a program at exe_path: share/locale under the parent
// of its folder when that exists (the build tree's stage), else installed_dir.
std::string catalogue_dir(const char *exe_path, const char *installed_dir);

// Binds the text domain for this executable. Keeps printed lines alike in every locale:
// LC_NUMERIC back to "C", and g_print writing its UTF-8 as it is. Call after gtk_init
// has set the locale.
void init();

} // namespace i18n

#define _(text) dgettext(i18n::kDomain, text)
// Marks a text for the catalogue where it is translated later, at display.
#define N_(text) text

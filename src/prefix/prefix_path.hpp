#pragma once
// The prefix directory as a file-system path: wine_prefix with a leading "~"
// or "~/" replaced by HOME (the default "~/.wine" is stored unexpanded), and
// the names by which the kernel and Wine's server know it.
#include <string>

namespace prefix_path {

// Expands a leading "~" of text with home; text is returned unchanged when it
// has no such "~" or home is null.
std::string expand(const char *text, const char *home);

// wine_prefix expanded with the current HOME; empty when wine_prefix is unset or empty.
std::string current();

// The line Wine prints when it refuses the prefix folder at path because it
// belongs to another user, and empty when it is this user's or not there:
// Wine then runs nothing in it.
std::string wine_refusal(const std::string &path);

// The name of the folder in which the server of the prefix folder with this
// device and inode keeps its socket and shared files, as Wine forms it.
std::string server_dir_name(unsigned long long dev, unsigned long long ino);

// The prefix as the processes that run in it show it.
struct PrefixPlaces {
  std::string folder;     // resolved through its links, as the kernel names held files
  std::string server_dir; // server_dir_name of that folder
  bool empty() const { return folder.empty(); }
};

// The places of the prefix at path; empty when it names no folder.
PrefixPlaces prefix_places_of(const std::string &path);

// The current prefix's places; empty when wine_prefix is unset or names no folder.
PrefixPlaces current_prefix_places();

} // namespace prefix_path

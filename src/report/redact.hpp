#pragma once
// Taking the user's name, home folder and host name out of log text, so that a
// log can be posted, and putting them back. Reversible: every literal "«" is
// doubled and only the three marks below begin with a single one, so restore()
// gives back the original bytes exactly. No GTK; any thread.
#include <string>
#include <string_view>
#include <vector>

namespace redact {

inline constexpr std::string_view kUserMark = "«USER»";
inline constexpr std::string_view kHomeMark = "«HOME»";
inline constexpr std::string_view kHostMark = "«HOST»";
// A second home (HOME differs from the password database's) has a mark of its own.
inline constexpr std::string_view kHome2Mark = "«HOME2»";

// What is taken out. Empty fields, and homes that are "/" or relative, are
// left alone; a home's trailing slashes do not count.
struct identity {
  std::string user;
  std::vector<std::string> homes;
  std::string host;
};

// The running user (from the password database), HOME and that user's home
// from the database when they differ, and the host name from uname.
identity current_identity();

class redactor {
public:
  explicit redactor(identity id);

  // Appends the redacted form of text, which holds whole lines, to out. A name
  // is replaced only where it stands as itself:
  //   - a home, as a whole Unix path written as it is (/home/NAME/x);
  //   - the user, as the path part after /home, /media, /run/media, /var/home
  //     and the parent of a home, with / or runs of \ between the parts (so
  //     Z:\home\NAME and Wine's escaped \\??\\unix\\home\\NAME count too),
  //     and after "users" in a Windows profile path (C:\users\NAME,
  //     C:/users/NAME, "C:\\users\\NAME", drive_c/users/NAME);
  //   - the host, as the value of the header's "nodename: " line.
  void append(std::string_view text, std::string &out) const;
  std::string operator()(std::string_view text) const;

  const identity &who() const { return id_; }

private:
  // Bytes matched at text[at], which begins a run of separators; 0 for none.
  std::size_t match_home(std::string_view text, std::size_t at, const std::string &home) const;
  std::size_t match_user_folder(std::string_view text, std::size_t at,
                                const std::vector<std::string> &parent) const;
  std::size_t match_profile(std::string_view text, std::size_t at) const;

  identity id_;
  std::vector<std::string> homes_;                // normal_homes(id_)
  std::vector<std::vector<std::string>> parents_; // folders whose part NAME is the user's
};

// The homes of id that are taken out, as "/a/b", in the order of their marks.
std::vector<std::string> normal_homes(const identity &id);

// Puts the names of id back in place of the marks and undoes the doubling.
std::string restore(std::string_view redacted, const identity &id);

} // namespace redact

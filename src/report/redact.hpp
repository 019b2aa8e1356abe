#pragma once
// Taking the user's name, home folder and host name out of log text, so that a
// log can be posted, and putting them back. Reversible: every literal "«" is
// doubled and only the marks below begin with a single one, so restore()
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

// Windows writes names in any letter case, and Wine shows the host cut short. A name written
// otherwise than it is gets its mark with how it was written, so that it can be put back:
// «USER:UPPER», «USER:lower», «USER:Title», or one A (upper) or a (lower) per ASCII letter
// («USER:AaaA»); the host cut to its first N bytes adds ":N" («HOST:UPPER:15»).

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
  //   - the user, as the path part after /home, /media, /run/media, /var/home,
  //     /var/mail, /var/spool/mail and the parent of a home, also relative to
  //     a drive or a quote (L"home\\NAME"), with / or runs of \ between the
  //     parts, percent-encoded ones (%2F, %5C) too, and after "users" in a
  //     Windows profile path (C:\users\NAME, \users\NAME, "C:\\users\\NAME",
  //     drive_c/users/NAME); in a Windows path in any letter case;
  //   - the user as the value of USER, USERNAME, LOGNAME, WINEUSERNAME or
  //     SUDO_USER (USER=NAME);
  //   - the host as the value of the header's "nodename: " line, as a line of
  //     its own (what hostname.exe prints), as the value of COMPUTERNAME,
  //     USERDOMAIN, HOSTNAME and the like, after \\ (LOGONSERVER=\\HOST) or a
  //     URL's "//", and as a whole quoted text; in any letter case, also cut
  //     at its first dot or to 15 bytes, as Windows names the computer.
  void append(std::string_view text, std::string &out) const;
  std::string operator()(std::string_view text) const;

  const identity &who() const { return id_; }

private:
  struct folder {
    std::vector<std::string> parts; // the parts before the user's folder
    bool windows_only;              // "users": not a Unix path
  };

  // Bytes matched at text[at], which begins a run of separators; 0 for none. *name gets where
  // the user's name begins in a folder match.
  std::size_t match_home(std::string_view text, std::size_t at, const std::string &home) const;
  std::size_t match_folder(std::string_view text, std::size_t at, std::size_t *name) const;
  // Bytes of the host written from text[at] that end where a host name ends; 0 for none.
  std::size_t match_host(std::string_view text, std::size_t at) const;

  identity id_;
  std::string user_;                    // id_.user where it can be met, else empty
  std::vector<std::string> homes_;      // normal_homes(id_), empty where one cannot be met
  std::vector<folder> folders_;         // folders whose part NAME is the user's
  std::vector<std::string> host_forms_; // the host, its part before a dot, its first 15 bytes
};

// The homes of id that are taken out, as "/a/b", in the order of their marks.
std::vector<std::string> normal_homes(const identity &id);

// Puts the names of id back in place of the marks and undoes the doubling.
std::string restore(std::string_view redacted, const identity &id);

} // namespace redact

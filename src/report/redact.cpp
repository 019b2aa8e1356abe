#include "report/redact.hpp"

#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <optional>

namespace redact {

namespace {

constexpr std::string_view kOpen = "«";
constexpr std::string_view kClose = "»";
constexpr std::string_view kNodename = "nodename: ";
constexpr std::string_view kRecordLogger = "nivra-wine- ";
// Windows names the computer by at most this many bytes of the host name.
constexpr std::size_t kComputerName = 15;

// Variables whose value is the user's name or the host's, as cmd's "set" and env print them.
constexpr std::string_view kUserVariables[] = {"USER", "USERNAME", "LOGNAME", "WINEUSERNAME",
                                               "SUDO_USER"};
constexpr std::string_view kHostVariables[] = {
    "COMPUTERNAME", "USERDOMAIN", "USERDOMAIN_ROAMINGPROFILE",
    "HOSTNAME",     "HOST",       "XAUTHLOCALHOSTNAME"};

bool is_sep(char c) { return c == '/' || c == '\\'; }

// Bytes that continue a file or folder name: "/home/wine" does not match in
// "/home/wine-8.0", "/home/wine.bak" or "/x/home/wine".
bool is_name_char(char c) {
  const auto u = static_cast<unsigned char>(c);
  return (u >= '0' && u <= '9') || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || c == '.' ||
         c == '_' || c == '-' || c == '~' || c == '+' || c == '$' || u >= 0x80;
}

bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_xdigit(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return lower(x) == lower(y); });
}

bool same(std::string_view a, std::string_view b, bool any_case) {
  return any_case ? iequals(a, b) : a == b;
}

// Bytes of the separator at t[at]: '/' or '\', or one written as %2F or %5C; 0 for none.
std::size_t sep_len(std::string_view t, std::size_t at) {
  if (at >= t.size())
    return 0;
  if (is_sep(t[at]))
    return 1;
  if (t[at] == '%' && at + 2 < t.size()) {
    const char a = t[at + 1], b = lower(t[at + 2]);
    if ((a == '2' && b == 'f') || (a == '5' && b == 'c'))
      return 3;
  }
  return 0;
}

bool backslash_at(std::string_view t, std::size_t at) {
  return t[at] == '\\' || (t[at] == '%' && t[at + 1] == '5');
}

std::size_t skip_seps(std::string_view t, std::size_t at) {
  while (const std::size_t n = sep_len(t, at))
    at += n;
  return at;
}

// A separator ends right before at.
bool sep_before(std::string_view t, std::size_t at) {
  return (at >= 1 && is_sep(t[at - 1])) || (at >= 3 && sep_len(t, at - 3) == 3);
}

// A percent escape (%3D) ends right before at.
bool escape_before(std::string_view t, std::size_t at) {
  return at >= 3 && t[at - 3] == '%' && is_xdigit(t[at - 2]) && is_xdigit(t[at - 1]);
}

bool starts_with(std::string_view t, std::size_t at, std::string_view word) {
  return t.substr(at, word.size()) == word;
}

// A line of Wine's debug output begins at t[at] ("0024:trace:", "0024:0028:warn:", with
// +timestamp "1234.567:0024:err:"). Its traces go into the same pipe as what the program prints,
// so they can follow a name without a line break between: "USERNAME=wine0024:trace:file:...".
bool wine_trace_at(std::string_view t, std::size_t at) {
  std::size_t p = at;
  while (p < t.size() && is_digit(t[p]))
    ++p;
  if (p > at && p < t.size() && t[p] == '.') {
    std::size_t q = p + 1;
    while (q < t.size() && is_digit(t[q]))
      ++q;
    p = q == p + 4 && q < t.size() && t[q] == ':' ? q + 1 : at;
  } else {
    p = at;
  }
  int ids = 0;
  while (ids < 2 && p + 5 <= t.size() && t[p + 4] == ':' &&
         std::all_of(t.begin() + static_cast<long>(p), t.begin() + static_cast<long>(p + 4),
                     [](char c) { return is_digit(c) || (c >= 'a' && c <= 'f'); })) {
    p += 5;
    ++ids;
  }
  return ids > 0 && (starts_with(t, p, "trace:") || starts_with(t, p, "warn:") ||
                     starts_with(t, p, "err:") || starts_with(t, p, "fixme:"));
}

bool ends_part(std::string_view t, std::size_t at) {
  return at >= t.size() || !is_name_char(t[at]) || wine_trace_at(t, at);
}

// Where a host name cannot go on: "VM" ends in "VM.local", not in "VM-2".
bool ends_host(std::string_view t, std::size_t at) {
  return at >= t.size() || !(is_alpha(t[at]) || is_digit(t[at]) || t[at] == '-' || t[at] == '_') ||
         wine_trace_at(t, at);
}

// The parts of an absolute path; empty for "/", a relative path or an empty one.
std::vector<std::string> parts_of(std::string_view path) {
  std::vector<std::string> parts;
  if (path.empty() || path[0] != '/')
    return parts;
  std::size_t at = 0;
  while (at < path.size()) {
    while (at < path.size() && is_sep(path[at]))
      ++at;
    if (at == path.size())
      break;
    std::size_t end = at;
    while (end < path.size() && !is_sep(path[end]))
      ++end;
    parts.emplace_back(path.substr(at, end - at));
    at = end;
  }
  return parts;
}

// Before the separators at `at`: nothing of a name, or Wine's "\??\unix" in front of a Unix path.
bool starts_path(std::string_view t, std::size_t at) {
  if (at == 0 || !is_name_char(t[at - 1]) || escape_before(t, at))
    return true;
  return at >= 5 && t.substr(at - 4, 4) == "unix" && is_sep(t[at - 5]);
}

// Before the separators at `at`: a drive ("C:") or the prefix's drive folder ("drive_c").
bool after_drive(std::string_view t, std::size_t at) {
  if (at >= 2 && t[at - 1] == ':' && is_alpha(t[at - 2]) && (at == 2 || !is_name_char(t[at - 3])))
    return true;
  return at >= 7 && iequals(t.substr(at - 7, 6), "drive_") && is_alpha(t[at - 1]) &&
         (at == 7 || !is_name_char(t[at - 8]));
}

void append_escaped(std::string &out, std::string_view text) {
  std::size_t from = 0, at;
  while ((at = text.find(kOpen, from)) != std::string_view::npos) {
    out.append(text.substr(from, at + kOpen.size() - from));
    out.append(kOpen);
    from = at + kOpen.size();
  }
  out.append(text.substr(from));
}

// Bytes of the header line "nodename: HOST" at the start of t; 0 when it is not there.
std::size_t host_line(std::string_view t, std::string_view host) {
  if (host.empty() || t.substr(0, kNodename.size()) != kNodename ||
      t.substr(kNodename.size(), host.size()) != host)
    return 0;
  const std::size_t end = kNodename.size() + host.size();
  if (end == t.size() || t[end] == '\n' ||
      (t[end] == '\r' && (end + 1 == t.size() || t[end + 1] == '\n')))
    return end;
  return 0;
}

// Bytes of a record's prefix at t[at] ("20261209 04:33:49.597 INFO     nivra-wine- "), or 0.
std::size_t record_prefix(std::string_view t, std::size_t at) {
  static constexpr std::string_view shape = "dddddddd dd:dd:dd.ddd ";
  if (t.size() - at < shape.size())
    return 0;
  for (std::size_t k = 0; k < shape.size(); ++k)
    if (shape[k] == 'd' ? !is_digit(t[at + k]) : t[at + k] != shape[k])
      return 0;
  std::size_t p = at + shape.size();
  const std::size_t word = p;
  while (p < t.size() && t[p] >= 'A' && t[p] <= 'Z')
    ++p;
  if (p == word || p == t.size() || t[p] != ' ')
    return 0;
  while (p < t.size() && t[p] == ' ')
    ++p;
  return t.substr(p, kRecordLogger.size()) == kRecordLogger ? p + kRecordLogger.size() - at : 0;
}

// How seen, the same text as canon but for the case of ASCII letters, is written; "" for as it is.
std::string case_tag(std::string_view canon, std::string_view seen) {
  if (seen == canon)
    return "";
  std::string up(canon), low(canon), title(canon);
  std::transform(up.begin(), up.end(), up.begin(), upper);
  std::transform(low.begin(), low.end(), low.begin(), lower);
  std::transform(title.begin(), title.end(), title.begin(), lower);
  if (!title.empty())
    title[0] = upper(title[0]);
  if (seen == up)
    return "UPPER";
  if (seen == low)
    return "lower";
  if (seen == title)
    return "Title";
  std::string letters;
  for (std::size_t k = 0; k < canon.size(); ++k)
    if (is_alpha(canon[k]))
      letters += seen[k] >= 'A' && seen[k] <= 'Z' ? 'A' : 'a';
  return letters;
}

// canon written as a case tag says; nullopt for a tag that does not fit it.
std::optional<std::string> apply_case(std::string canon, std::string_view tag) {
  if (tag.empty())
    return canon;
  if (tag == "UPPER" || tag == "lower" || tag == "Title") {
    const bool up = tag == "UPPER";
    std::transform(canon.begin(), canon.end(), canon.begin(), up ? upper : lower);
    if (tag == "Title" && !canon.empty())
      canon[0] = upper(canon[0]);
    return canon;
  }
  std::size_t next = 0;
  for (char &c : canon) {
    if (!is_alpha(c))
      continue;
    if (next == tag.size() || (tag[next] != 'A' && tag[next] != 'a'))
      return std::nullopt;
    c = tag[next++] == 'A' ? upper(c) : lower(c);
  }
  if (next != tag.size())
    return std::nullopt;
  return canon;
}

std::string name_mark(std::string_view name, std::string_view canon, std::string_view seen) {
  std::string mark(kOpen);
  mark += name;
  const std::string tag = case_tag(canon.substr(0, seen.size()), seen);
  if (!tag.empty()) {
    mark += ':';
    mark += tag;
  }
  if (seen.size() < canon.size()) {
    mark += ':';
    mark += std::to_string(seen.size());
  }
  mark += kClose;
  return mark;
}

bool listed(std::string_view name, const std::string_view *list, std::size_t count) {
  for (std::size_t k = 0; k < count; ++k)
    if (iequals(name, list[k]))
      return true;
  return false;
}

constexpr auto kInteresting = [] {
  std::array<bool, 256> table{};
  for (unsigned char c : {'/', '\\', '%', '\n', '=', '"', '\''})
    table[c] = true;
  table[0xC2] = true; // the first byte of "«"
  return table;
}();

} // namespace

identity current_identity() {
  identity id;
  const passwd *pw = getpwuid(geteuid());
  if (pw && pw->pw_name)
    id.user = pw->pw_name;
  else if (const char *user = std::getenv("USER"))
    id.user = user;
  if (const char *home = std::getenv("HOME"); home && *home)
    id.homes.emplace_back(home);
  if (pw && pw->pw_dir && *pw->pw_dir &&
      std::find(id.homes.begin(), id.homes.end(), pw->pw_dir) == id.homes.end())
    id.homes.emplace_back(pw->pw_dir);
  utsname u;
  if (uname(&u) == 0)
    id.host = u.nodename;
  return id;
}

std::vector<std::string> normal_homes(const identity &id) {
  std::vector<std::string> homes;
  for (const std::string &home : id.homes) {
    std::string normal;
    for (const std::string &part : parts_of(home))
      normal += "/" + part;
    if (!normal.empty() && homes.size() < 2 &&
        std::find(homes.begin(), homes.end(), normal) == homes.end())
      homes.push_back(normal);
  }
  return homes;
}

redactor::redactor(identity id) : id_(std::move(id)), homes_(normal_homes(id_)) {
  // Text is taken a piece of whole lines at a time: a name over two lines cannot be met whole.
  auto one_line = [](const std::string &name) { return name.find('\n') == std::string::npos; };
  if (one_line(id_.user))
    user_ = id_.user;
  for (std::string &home : homes_)
    if (!one_line(home))
      home.clear(); // keeps the marks of the others
  folders_ = {{{"home"}, false},        {{"media"}, false},       {{"run", "media"}, false},
              {{"var", "home"}, false}, {{"var", "mail"}, false}, {{"var", "spool", "mail"}, false},
              {{"users"}, true}};
  for (const std::string &home : homes_) {
    std::vector<std::string> parent = parts_of(home);
    if (parent.empty())
      continue;
    parent.pop_back();
    if (!parent.empty() && std::none_of(folders_.begin(), folders_.end(),
                                        [&](const folder &f) { return f.parts == parent; }))
      folders_.push_back({parent, false});
  }
  if (user_.empty() || user_.find_first_of("/\\") != std::string::npos)
    folders_.clear();
  if (!id_.host.empty() && one_line(id_.host)) {
    host_forms_.push_back(id_.host);
    const std::string name = id_.host.substr(0, id_.host.find('.'));
    if (!name.empty() && name != id_.host)
      host_forms_.push_back(name);
    if (name.size() > kComputerName)
      host_forms_.push_back(name.substr(0, kComputerName));
  }
}

std::size_t redactor::match_home(std::string_view t, std::size_t at,
                                 const std::string &home) const {
  if (home.empty() || !starts_path(t, at) || t.substr(at, home.size()) != home ||
      !ends_part(t, at + home.size()))
    return 0;
  return home.size();
}

std::size_t redactor::match_folder(std::string_view t, std::size_t at, std::size_t *name) const {
  const bool drive = after_drive(t, at);
  const bool windows = drive || backslash_at(t, at);
  // Most separators begin no folder of these: a look at a byte on either side first.
  const std::size_t after = skip_seps(t, at);
  const char next = after < t.size() ? lower(t[after]) : '\0';
  const char before = at > 0 ? lower(t[at - 1]) : '\0';
  for (const folder &f : folders_) {
    // The whole path from at; or one relative to a drive or a quote ("X:users\NAME",
    // L"home\\NAME") whose first part ends at at.
    std::size_t first = 0;
    const std::string &lead = f.parts[0];
    if (lower(lead.front()) != next && lower(lead.back()) != before)
      continue;
    if (at >= lead.size() && iequals(t.substr(at - lead.size(), lead.size()), lead)) {
      const std::size_t start = at - lead.size();
      if (start == 0 || (!is_name_char(t[start - 1]) && !sep_before(t, start)))
        first = 1;
    }
    if (first == 0 && ((!drive && !starts_path(t, at)) || (f.windows_only && !windows)))
      continue;
    const bool any_case = windows || f.windows_only;
    std::size_t pos = at;
    bool found = true;
    for (std::size_t k = first; k < f.parts.size() && found; ++k) {
      const std::size_t start = skip_seps(t, pos);
      found = start > pos && same(t.substr(start, f.parts[k].size()), f.parts[k], any_case);
      pos = start + f.parts[k].size();
    }
    if (!found)
      continue;
    const std::size_t start = skip_seps(t, pos);
    if (start == pos || !same(t.substr(start, user_.size()), user_, any_case) ||
        !ends_part(t, start + user_.size()))
      continue;
    *name = start;
    return start + user_.size() - at;
  }
  return 0;
}

std::size_t redactor::match_host(std::string_view t, std::size_t at) const {
  for (const std::string &form : host_forms_)
    if (iequals(t.substr(at, form.size()), form) && ends_host(t, at + form.size()))
      return form.size();
  return 0;
}

void redactor::append(std::string_view t, std::string &out) const {
  const std::size_t n = t.size();
  std::size_t i = 0, copied = 0;
  auto flush = [&](std::size_t upto) {
    out.append(t.substr(copied, upto - copied));
    copied = upto;
  };
  // What lies between i and the name stays, escaped; the name becomes mark; the scan goes on
  // after it.
  auto put = [&](std::size_t name, std::size_t len, const std::string &mark) {
    flush(i);
    append_escaped(out, t.substr(i, name - i));
    out.append(mark);
    i = copied = name + len;
  };
  auto user_mark = [&](std::size_t at) {
    return name_mark("USER", id_.user, t.substr(at, id_.user.size()));
  };
  auto host_mark = [&](std::size_t at, std::size_t len) {
    return name_mark("HOST", id_.host, t.substr(at, len));
  };
  // The host on a line of its own: the header's, or what hostname.exe prints, also as a record.
  auto line_start = [&] {
    if (const std::size_t m = host_line(t.substr(i), id_.host)) {
      put(i + kNodename.size(), m - kNodename.size(), std::string(kHostMark));
      return;
    }
    const std::size_t at = i + record_prefix(t, i);
    for (const std::string &form : host_forms_) {
      const std::size_t end = at + form.size();
      if (!iequals(t.substr(at, form.size()), form))
        continue;
      if (end == n || t[end] == '\n' || (t[end] == '\r' && (end + 1 == n || t[end + 1] == '\n')) ||
          wine_trace_at(t, end)) {
        put(at, form.size(), host_mark(at, form.size()));
        return;
      }
    }
  };
  if (!host_forms_.empty())
    line_start();
  while (i < n) {
    const char c = t[i];
    if (!kInteresting[static_cast<unsigned char>(c)]) {
      ++i;
      continue;
    }
    if (c == '\n') {
      ++i;
      if (!host_forms_.empty() && i < n)
        line_start();
      continue;
    }
    // Most '=' and quotes of a trace are followed by something else than a name: a quick look
    // at the next byte first.
    const char next = i + 1 < n ? lower(t[i + 1]) : '\0';
    const bool may_be_user = !user_.empty() && next == lower(user_[0]);
    const bool may_be_host = !host_forms_.empty() && next == lower(id_.host[0]);
    if (c == '=' && !may_be_user && !may_be_host) {
      ++i;
      continue;
    }
    if (c == '=') { // NAME=value
      std::size_t start = i;
      while (start > 0 && (is_alpha(t[start - 1]) || is_digit(t[start - 1]) || t[start - 1] == '_'))
        --start;
      const std::string_view variable = t.substr(start, i - start);
      std::size_t m = 0;
      if (variable.empty() || (start > 0 && is_name_char(t[start - 1]))) {
      } else if (!user_.empty() && listed(variable, kUserVariables, std::size(kUserVariables)) &&
                 iequals(t.substr(i + 1, user_.size()), user_) &&
                 ends_part(t, i + 1 + user_.size())) {
        put(i + 1, user_.size(), user_mark(i + 1));
        continue;
      } else if (listed(variable, kHostVariables, std::size(kHostVariables)) &&
                 (m = match_host(t, i + 1)) != 0) {
        put(i + 1, m, host_mark(i + 1, m));
        continue;
      }
      ++i;
      continue;
    }
    if (c == '"' || c == '\'') { // the host as a whole quoted text
      const std::size_t m = may_be_host ? match_host(t, i + 1) : 0;
      if (m && i + 1 + m < n && t[i + 1 + m] == c) {
        put(i + 1, m, host_mark(i + 1, m));
        continue;
      }
      ++i;
      continue;
    }
    if (static_cast<unsigned char>(c) == 0xC2) {
      if (t.substr(i, kOpen.size()) == kOpen) {
        flush(i + kOpen.size());
        out.append(kOpen);
        i += kOpen.size();
      } else {
        ++i;
      }
      continue;
    }
    // A separator: paths begin here.
    if (sep_len(t, i) == 0 || sep_before(t, i)) {
      ++i;
      continue;
    }
    std::size_t m = 0;
    for (std::size_t h = 0; h < homes_.size() && !m; ++h)
      if ((m = match_home(t, i, homes_[h])) != 0)
        put(i, m, std::string(h == 0 ? kHomeMark : kHome2Mark));
    if (m)
      continue;
    std::size_t name = 0;
    if (!folders_.empty() && (m = match_folder(t, i, &name)) != 0) {
      put(name, user_.size(), user_mark(name));
      continue;
    }
    const std::size_t end = skip_seps(t, i);
    // \\HOST, as a UNC path or LOGONSERVER shows it; a drive's "C:\\" is not one.
    bool unc = end - i >= 2 && (i == 0 || (!is_name_char(t[i - 1]) && t[i - 1] != ':'));
    for (std::size_t k = i; k < end && unc; ++k)
      unc = t[k] == '\\';
    std::size_t host = unc ? end : 0;
    // SESSION_MANAGER=local/HOST:@/tmp/.ICE-unix/1,unix/HOST:/tmp/.ICE-unix/1
    if (!unc && end - i == 1 && t[i] == '/' &&
        ((i >= 5 && t.substr(i - 5, 5) == "local" && (i == 5 || !is_name_char(t[i - 6]))) ||
         (i >= 4 && t.substr(i - 4, 4) == "unix" && (i == 4 || !is_name_char(t[i - 5])))) &&
        (m = match_host(t, end)) != 0 && end + m < n && t[end + m] == ':') {
      put(end, m, host_mark(end, m));
      continue;
    }
    // scheme://[user@]HOST
    if (!unc && end - i == 2 && t[i] == '/' && t[i + 1] == '/' && i >= 3 && t[i - 1] == ':' &&
        is_alpha(t[i - 2]) && is_alpha(t[i - 3])) {
      host = end;
      const std::size_t at_sign = t.substr(0, end + 256).find_first_of("@/ \t\"'\n", end);
      if (at_sign != std::string_view::npos && t[at_sign] == '@')
        host = at_sign + 1;
    }
    if (host && (m = match_host(t, host)) != 0) {
      put(host, m, host_mark(host, m));
      continue;
    }
    ++i;
  }
  flush(n);
}

std::string redactor::operator()(std::string_view text) const {
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  append(text, out);
  return out;
}

namespace {

// The text a mark at the start of t stands for, and the mark's length; nullopt for no mark.
std::optional<std::pair<std::string, std::size_t>>
read_mark(std::string_view t, const identity &id, const std::vector<std::string> &homes) {
  // Marks are short: a lone "«" of other text is not searched to its end.
  const std::size_t close = t.substr(0, 96).find(kClose, kOpen.size());
  if (close == std::string_view::npos)
    return std::nullopt;
  std::string_view inside = t.substr(kOpen.size(), close - kOpen.size());
  const std::size_t length = close + kClose.size();
  if (inside == "HOME" && !homes.empty())
    return std::pair{homes[0], length};
  if (inside == "HOME2" && homes.size() > 1)
    return std::pair{homes[1], length};
  const std::string_view name = inside.substr(0, inside.find(':'));
  if (name != "USER" && name != "HOST")
    return std::nullopt;
  std::string canon = name == "USER" ? id.user : id.host;
  std::string_view tag;
  inside.remove_prefix(name.size());
  while (!inside.empty()) {
    inside.remove_prefix(1); // ':'
    const std::string_view part = inside.substr(0, inside.find(':'));
    inside.remove_prefix(part.size());
    if (!part.empty() && std::all_of(part.begin(), part.end(), is_digit) && name == "HOST" &&
        part.size() < 4) {
      const std::size_t len = std::stoul(std::string(part));
      if (len == 0 || len >= canon.size())
        return std::nullopt;
      canon.resize(len);
    } else if (tag.empty() && !part.empty()) {
      tag = part;
    } else {
      return std::nullopt;
    }
  }
  std::optional<std::string> text = apply_case(canon, tag);
  if (!text)
    return std::nullopt;
  return std::pair{*text, length};
}

} // namespace

std::string restore(std::string_view t, const identity &id) {
  const std::vector<std::string> homes = normal_homes(id);
  std::string out;
  out.reserve(t.size());
  std::size_t from = 0, at;
  while ((at = t.find(kOpen, from)) != std::string_view::npos) {
    out.append(t.substr(from, at - from));
    const std::string_view rest = t.substr(at);
    if (rest.substr(kOpen.size(), kOpen.size()) == kOpen) {
      out.append(kOpen);
      from = at + 2 * kOpen.size();
    } else if (auto mark = read_mark(rest, id, homes)) {
      out.append(mark->first);
      from = at + mark->second;
    } else {
      out.append(kOpen);
      from = at + kOpen.size();
    }
  }
  out.append(t.substr(from));
  return out;
}

} // namespace redact

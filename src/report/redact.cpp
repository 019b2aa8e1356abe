#include "report/redact.hpp"

#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>

namespace redact {

namespace {

constexpr std::string_view kOpen = "«";
constexpr std::string_view kNodename = "nodename: ";

bool is_sep(char c) { return c == '/' || c == '\\'; }

// Bytes that continue a file or folder name: "/home/wine" does not match in
// "/home/wine-8.0", "/home/wine.bak" or "/x/home/wine".
bool is_name_char(char c) {
  const auto u = static_cast<unsigned char>(c);
  return (u >= '0' && u <= '9') || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || c == '.' ||
         c == '_' || c == '-' || c == '~' || c == '+' || c == '$' || u >= 0x80;
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return lower(x) == lower(y); });
}

std::size_t skip_seps(std::string_view t, std::size_t at) {
  while (at < t.size() && is_sep(t[at]))
    ++at;
  return at;
}

bool ends_part(std::string_view t, std::size_t at) {
  return at >= t.size() || !is_name_char(t[at]);
}

// The parts of an absolute path; empty for "/", a relative path or an empty one.
std::vector<std::string> parts_of(std::string_view path) {
  std::vector<std::string> parts;
  if (path.empty() || path[0] != '/')
    return parts;
  std::size_t at = 0;
  while ((at = skip_seps(path, at)) < path.size()) {
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
  if (at == 0 || !is_name_char(t[at - 1]))
    return true;
  return at >= 4 && t.substr(at - 4, 4) == "unix" && (at == 4 || is_sep(t[at - 5]));
}

// Before the separators at `at`: a drive ("C:") or the prefix's drive folder ("drive_c").
bool after_drive(std::string_view t, std::size_t at) {
  if (at >= 2 && t[at - 1] == ':' && std::isalpha(static_cast<unsigned char>(t[at - 2])) &&
      (at == 2 || !is_name_char(t[at - 3])))
    return true;
  return at >= 7 && iequals(t.substr(at - 7, 6), "drive_") &&
         std::isalpha(static_cast<unsigned char>(t[at - 1])) &&
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

constexpr auto kInteresting = [] {
  std::array<bool, 256> table{};
  table['/'] = table['\\'] = table['\n'] = true;
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
  parents_ = {{"home"}, {"media"}, {"run", "media"}, {"var", "home"}};
  for (const std::string &home : homes_) {
    std::vector<std::string> parent = parts_of(home);
    parent.pop_back();
    if (!parent.empty() && std::find(parents_.begin(), parents_.end(), parent) == parents_.end())
      parents_.push_back(parent);
  }
  if (id_.user.empty() || id_.user.find_first_of("/\\") != std::string::npos)
    parents_.clear();
}

std::size_t redactor::match_home(std::string_view t, std::size_t at,
                                 const std::string &home) const {
  if (!starts_path(t, at) || t.substr(at, home.size()) != home || !ends_part(t, at + home.size()))
    return 0;
  return home.size();
}

std::size_t redactor::match_user_folder(std::string_view t, std::size_t at,
                                        const std::vector<std::string> &parent) const {
  if (!starts_path(t, at))
    return 0;
  std::size_t pos = at;
  auto part_at = [&](const std::string &part) {
    const std::size_t start = skip_seps(t, pos);
    if (start == pos || t.substr(start, part.size()) != part)
      return false;
    pos = start + part.size();
    return true;
  };
  for (const std::string &part : parent)
    if (!part_at(part))
      return 0;
  return part_at(id_.user) && ends_part(t, pos) ? pos - at : 0;
}

std::size_t redactor::match_profile(std::string_view t, std::size_t at) const {
  if (id_.user.empty())
    return 0;
  std::size_t pos = skip_seps(t, at);
  // "users" after a drive, or a path relative to the drive's root that begins with it, as
  // Wine's file traces show it: L"users\\NAME\\Desktop" not found in ".../c:".
  const bool relative = at >= 5 && iequals(t.substr(at - 5, 5), "users") &&
                        (at == 5 || (!is_name_char(t[at - 6]) && !is_sep(t[at - 6])));
  if (relative)
    pos = at - 5;
  else if (!after_drive(t, at) || !iequals(t.substr(pos, 5), "users"))
    return 0;
  const std::size_t name = skip_seps(t, pos + 5);
  if (name == pos + 5 || t.substr(name, id_.user.size()) != id_.user ||
      !ends_part(t, name + id_.user.size()))
    return 0;
  return name + id_.user.size() - (relative ? pos + 5 : at);
}

void redactor::append(std::string_view t, std::string &out) const {
  const std::size_t n = t.size();
  std::size_t i = 0, copied = 0;
  auto flush = [&](std::size_t upto) {
    out.append(t.substr(copied, upto - copied));
    copied = upto;
  };
  auto host_at = [&](std::size_t at) {
    const std::size_t m = host_line(t.substr(at), id_.host);
    if (m) {
      flush(at);
      out.append(kNodename).append(kHostMark);
      copied = at + m;
    }
    return m;
  };
  i += host_at(0);
  while (i < n) {
    const char c = t[i];
    if (!kInteresting[static_cast<unsigned char>(c)]) {
      ++i;
      continue;
    }
    if (c == '\n') {
      ++i;
      i += host_at(i);
      continue;
    }
    if (!is_sep(c)) { // 0xC2
      if (t.substr(i, kOpen.size()) == kOpen) {
        flush(i + kOpen.size());
        out.append(kOpen);
        i += kOpen.size();
      } else {
        ++i;
      }
      continue;
    }
    if (i > 0 && is_sep(t[i - 1])) {
      ++i;
      continue;
    }
    std::size_t m = 0;
    for (std::size_t h = 0; h < homes_.size() && !m; ++h) {
      if ((m = match_home(t, i, homes_[h])) != 0) {
        flush(i);
        out.append(h == 0 ? kHomeMark : kHome2Mark);
      }
    }
    const bool home = m != 0;
    for (std::size_t p = 0; p < parents_.size() && !m; ++p)
      m = match_user_folder(t, i, parents_[p]);
    if (!m)
      m = match_profile(t, i);
    if (m && !home) { // a user's folder: what comes before the name stays
      flush(i);
      append_escaped(out, t.substr(i, m - id_.user.size()));
      out.append(kUserMark);
    }
    if (m) {
      i += m;
      copied = i;
    } else {
      ++i;
    }
  }
  flush(n);
}

std::string redactor::operator()(std::string_view text) const {
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  append(text, out);
  return out;
}

std::string restore(std::string_view t, const identity &id) {
  const std::vector<std::string> homes = normal_homes(id);
  std::string out;
  out.reserve(t.size());
  std::size_t from = 0, at;
  while ((at = t.find(kOpen, from)) != std::string_view::npos) {
    out.append(t.substr(from, at - from));
    std::string_view rest = t.substr(at);
    if (rest.substr(kOpen.size(), kOpen.size()) == kOpen) {
      out.append(kOpen);
      from = at + 2 * kOpen.size();
    } else if (rest.substr(0, kUserMark.size()) == kUserMark) {
      out.append(id.user);
      from = at + kUserMark.size();
    } else if (rest.substr(0, kHomeMark.size()) == kHomeMark && !homes.empty()) {
      out.append(homes[0]);
      from = at + kHomeMark.size();
    } else if (rest.substr(0, kHome2Mark.size()) == kHome2Mark && homes.size() > 1) {
      out.append(homes[1]);
      from = at + kHome2Mark.size();
    } else if (rest.substr(0, kHostMark.size()) == kHostMark) {
      out.append(id.host);
      from = at + kHostMark.size();
    } else {
      out.append(kOpen);
      from = at + kOpen.size();
    }
  }
  out.append(t.substr(from));
  return out;
}

} // namespace redact

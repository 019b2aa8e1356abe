#include "log/log_destination.hpp"

#include "util/bounded.hpp"
#include "util/own.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace log_destination {

namespace {

// strtoll reads as atoll does, but tells an overflow apart. Text after the number ("1.5",
// "1e3", "12abc") would be dropped without a word, so it makes the whole text invalid (0);
// blanks after it are only blanks.
std::optional<long long> read_decimal(const char *text) {
  if (!text)
    return 0;
  errno = 0;
  char *end = nullptr;
  long long value = std::strtoll(text, &end, 10);
  if (errno == ERANGE)
    return std::nullopt;
  while (g_ascii_isspace(*end))
    ++end;
  return *end ? 0 : value;
}

} // namespace

std::optional<std::int64_t> size_in_bytes(std::int64_t size, const char *unit) {
  if (!unit)
    return 0;
  for (int i = 0; i < unit_count; ++i) {
    if (std::strcmp(unit, units[i]) != 0)
      continue;
    std::int64_t bytes = 0;
    if (__builtin_mul_overflow(size, std::int64_t{1} << (10 * i), &bytes))
      return std::nullopt;
    return bytes;
  }
  return 0;
}

int parse_size_input(const char *size_text, const char *count_text, const char *unit,
                     std::int64_t *size, int *count) {
  std::optional<long long> typed_size = read_decimal(size_text);
  if (!typed_size || *typed_size < 1 || !size_in_bytes(*typed_size, unit))
    return 1;
  std::optional<long long> typed_count = read_decimal(count_text);
  if (!typed_count || *typed_count < 1 || *typed_count > INT_MAX)
    return 2;
  *size = *typed_size;
  *count = static_cast<int>(*typed_count);
  return 0;
}

bool has_name_prefix(const char *name, const char *prefix) {
  return std::strncmp(name, prefix, std::strlen(prefix)) == 0;
}

std::int64_t log_file_index(std::string_view name, std::string_view prefix) {
  if (name.size() < prefix.size() + 2 || name.substr(0, prefix.size()) != prefix ||
      name[prefix.size()] != '.')
    return -1;
  std::string_view digits = name.substr(prefix.size() + 1);
  if (digits.size() > 18 || (digits.size() > 1 && digits[0] == '0'))
    return -1;
  std::int64_t index = 0;
  for (char c : digits) {
    if (c < '0' || c > '9')
      return -1;
    index = index * 10 + (c - '0');
  }
  return index;
}

std::vector<std::string> foreign_log_entries(const char *dir, const char *prefix,
                                             std::int64_t count) {
  std::vector<std::string> found;
  own::dir listing(opendir(dir));
  if (!listing)
    return found;
  while (const dirent *entry = readdir(listing.get())) {
    const std::int64_t index = log_file_index(entry->d_name, prefix);
    if (index < 0 || index >= count)
      continue;
    struct stat st {};
    if (fstatat(dirfd(listing.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_nlink != 1)
      found.emplace_back(entry->d_name);
  }
  std::sort(found.begin(), found.end());
  return found;
}

void scan_same_prefix_files(const char *dir, const char *prefix,
                            const std::function<bool(const char *name)> &ask) {
  own::dir listing(opendir(dir));
  if (!listing) {
    std::perror("无法打开目录");
    return;
  }
  while (const dirent *entry = readdir(listing.get())) {
    if (entry->d_type != DT_REG || !has_name_prefix(entry->d_name, prefix))
      continue;
    // Another user's file is not ours to offer for deletion.
    struct stat st {};
    if (fstatat(dirfd(listing.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        st.st_uid != geteuid())
      continue;
    // Copy the name: the questions run the main loop, and readdir may reuse its buffer later.
    std::string name = entry->d_name;
    if (!ask(name.c_str()))
      continue;
    // Delete by name inside the open folder: a full path may be too long to pass whole, and a
    // cut one would name some other file.
    if (unlinkat(dirfd(listing.get()), name.c_str(), 0) == 0)
      g_print("文件 %s 删除成功\n", (std::string(dir) + "/" + name).c_str());
    else
      std::perror("文件删除失败");
  }
}

} // namespace log_destination

bool size_to_bytes_text(std::int64_t size, const char *unit, char *out, std::size_t out_size) {
  std::optional<std::int64_t> bytes = log_destination::size_in_bytes(size, unit);
  bounded::format(out, out_size, "%lld", static_cast<long long>(bytes.value_or(0)));
  return bytes.has_value();
}

void split_path(const char *path, char sep, char **dir, char **name) {
  if (!path)
    return;
  const char *last = std::strrchr(path, sep);
  if (dir && !*dir)
    *dir = last ? strndup(path, static_cast<std::size_t>(last - path)) : strdup(".");
  if (name && !*name)
    *name = strdup(last ? last + 1 : path);
}

// split_path on any path, at '/' and at the input's last byte as separator:
// with a separator, dir + sep + name gives the path back and name holds none;
// without, dir is "." and name the path. Places already filled stay as they are.
// log_file_index on the name after the dir as prefix: an index only for a name
// that is prefix "." and that index written back, and for every such index.
#include "fuzz_support.hpp"
#include "log/log_destination.hpp"

#include <cstring>
#include <string>

namespace {

void check_split(const std::string &path, char sep) {
  char *dir = nullptr;
  char *name = nullptr;
  split_path(path.c_str(), sep, &dir, &name);
  FUZZ_CHECK(dir && name);
  if (path.find(sep) != std::string::npos) {
    FUZZ_CHECK(std::string(dir) + sep + name == path);
    FUZZ_CHECK(!std::strchr(name, sep));
  } else {
    FUZZ_CHECK(std::strcmp(dir, ".") == 0);
    FUZZ_CHECK(name == path);
  }

  char kept_text[] = "kept";
  char *kept = kept_text;
  char *name_again = nullptr;
  split_path(path.c_str(), sep, &kept, &name_again);
  FUZZ_CHECK(kept == kept_text && std::strcmp(kept, "kept") == 0);
  FUZZ_CHECK(name_again && std::strcmp(name_again, name) == 0);

  char *dir_only = nullptr;
  split_path(path.c_str(), sep, &dir_only, nullptr);
  FUZZ_CHECK(dir_only && std::strcmp(dir_only, dir) == 0);

  // The log sink names its files prefix.N: only those names are taken for its own.
  const std::int64_t index = log_destination::log_file_index(name, dir);
  if (index >= 0)
    FUZZ_CHECK(std::string(dir) + "." + std::to_string(index) == name);
  const std::string own = std::string(dir) + "." + std::to_string(path.size() * 7919);
  FUZZ_CHECK(log_destination::log_file_index(own, dir) ==
             static_cast<std::int64_t>(path.size() * 7919));

  std::free(dir);
  std::free(name);
  std::free(name_again);
  std::free(dir_only);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string path = fuzz::c_text(fuzz::bytes(data, size));
  check_split(path, '/');
  if (size > 0 && data[size - 1] != '\0' && data[size - 1] != '/')
    check_split(path, static_cast<char>(data[size - 1]));
  return 0;
}

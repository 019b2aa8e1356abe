#include "display/kill_prefix.hpp"

#include "display/prefix_path.hpp"
#include "util/bounded.hpp"
#include "util/own.hpp"
#include "util/shell_quote.hpp"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace kill_prefix {

bool PidList::add(int pid) {
  if (count_ > 0)
    bounded::append(text_, kSize, &length_, " ");
  bounded::append(text_, kSize, &length_, "%d", pid);
  ++count_;
  return length_ < kFullAt;
}

std::optional<std::string> listing_command(const std::string &prefix) {
  // Quoted as a whole, so no character of the path can end the word or start
  // a command.
  char cmd[1024];
  std::string word = shell_quote::quote(prefix);
  if (!bounded::format(cmd, sizeof(cmd), "lsof -t +D %s 2>/dev/null", word.c_str()))
    return std::nullopt;
  return std::string(cmd);
}

std::string kill_command(const PidList &pids) {
  char cmd[8192];
  bounded::format(cmd, sizeof(cmd), "kill -9 %s 2>/dev/null", pids.text());
  return cmd;
}

int pid_of_listing_line(char *line) {
  line[std::strcspn(line, "\n")] = '\0';
  if (line[0] == '\0')
    return 0;
  // As atoi reads it, but a number beyond int is no process id rather than
  // undefined behaviour.
  long pid = std::strtol(line, nullptr, 10);
  return pid > 0 && pid <= INT_MAX ? static_cast<int>(pid) : 0;
}

bool map_names_ntdll(std::FILE *maps) {
  char line[1024];
  while (std::fgets(line, sizeof(line), maps)) {
    if (std::strstr(line, "ntdll.dll"))
      return true;
  }
  return false;
}

void collect_pids(std::FILE *listing, const std::function<bool(int)> &runs_windows_code,
                  PidList &pids) {
  char line[32];
  while (std::fgets(line, sizeof(line), listing)) {
    int pid = pid_of_listing_line(line);
    if (pid == 0 || !runs_windows_code(pid))
      continue;
    if (!pids.add(pid)) {
      std::fprintf(stderr, "警告：kill_pids缓冲区即将满，已处理 %d 个进程\n", pids.count());
      return;
    }
  }
}

bool process_maps_ntdll(int pid) {
  char path[64];
  bounded::format(path, sizeof(path), "/proc/%d/maps", pid);
  own::file maps(std::fopen(path, "r"));
  return maps && map_names_ntdll(maps.get());
}

} // namespace kill_prefix

void kill_prefix_processes() {
  // The same expanded path the DPI reader uses.
  std::string prefix = prefix_path::current();
  if (prefix.empty())
    return;
  std::optional<std::string> listing = kill_prefix::listing_command(prefix);
  if (!listing) {
    std::fprintf(stderr, "错误：容器路径过长，无法列出容器中的进程\n");
    return;
  }
  kill_prefix::PidList pids;
  {
    shell_quote::flush_std_streams();
    own::pipe fp(popen(listing->c_str(), "r"));
    if (!fp)
      return;
    kill_prefix::collect_pids(fp.get(), kill_prefix::process_maps_ntdll, pids);
  }
  if (pids.count() == 0)
    return;
  shell_quote::flush_std_streams();
  int rc = std::system(kill_prefix::kill_command(pids).c_str());
  (void)rc;
  std::printf("已一次性终止 %d 个进程: %s\n", pids.count(), pids.text());
  std::fflush(stdout);
}

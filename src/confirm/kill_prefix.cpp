#include "confirm/kill_prefix.hpp"

#include "confirm/prefix_path.hpp"
#include "util/bounded.hpp"
#include "util/own.hpp"
#include "util/shell_quote.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace kill_prefix {

bool PidList::add(int pid) {
  if (count_ > 0)
    bounded::append(text_, kSize, &length_, " ");
  bounded::append(text_, kSize, &length_, "%d", pid);
  ++count_;
  return length_ < kFullAt;
}

std::string kill_command(const PidList &pids) {
  char cmd[8192];
  bounded::format(cmd, sizeof(cmd), "kill -9 %s 2>/dev/null", pids.text());
  return cmd;
}

bool at_or_below(std::string_view path, std::string_view folder) {
  if (folder.empty() || path.substr(0, folder.size()) != folder)
    return false;
  return path.size() == folder.size() || folder.back() == '/' || path[folder.size()] == '/';
}

std::string map_line_path(std::string_view line) {
  if (!line.empty() && line.back() == '\n')
    line.remove_suffix(1);
  // Address, permissions, offset, device and inode, then the path after
  // padding. A deleted file keeps its " (deleted)" mark: a prefix that was
  // removed is then neither the prefix nor below it.
  std::size_t at = 0;
  for (int field = 0; field < 5; ++field) {
    at = line.find_first_not_of(' ', at);
    if (at == std::string_view::npos)
      return {};
    at = line.find(' ', at);
    if (at == std::string_view::npos)
      return {};
  }
  at = line.find_first_not_of(' ', at);
  if (at == std::string_view::npos || line[at] != '/')
    return {};
  // The kernel writes a line feed in a name as "\012" and nothing else as an
  // escape, so a name with a literal "\012" in it reads as one with a line feed.
  std::string path;
  path.reserve(line.size() - at);
  for (; at < line.size(); ++at) {
    if (line.compare(at, 4, "\\012") == 0) {
      path += '\n';
      at += 3;
    } else {
      path += line[at];
    }
  }
  return path;
}

MapFacts read_map(std::FILE *maps, std::string_view folder) {
  MapFacts facts;
  char *line = nullptr;
  std::size_t room = 0;
  ssize_t n;
  while ((n = getline(&line, &room, maps)) > 0) {
    std::string_view text(line, static_cast<std::size_t>(n));
    facts.ntdll = facts.ntdll || text.find("ntdll.dll") != std::string_view::npos;
    facts.maps_folder = facts.maps_folder || at_or_below(map_line_path(text), folder);
    if (facts.ntdll && facts.maps_folder)
      break;
  }
  std::free(line);
  return facts;
}

namespace {

// The target of a link in a process's folder ("cwd", "exe", a descriptor);
// empty when it cannot be read: gone, another user's, or no link. A target
// cut at the buffer's end still begins as the whole one does.
std::string link_target(int dir, const char *name) {
  char target[PATH_MAX + 1];
  ssize_t n = readlinkat(dir, name, target, sizeof(target));
  return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

// True when one of the process's open descriptors names what match accepts.
template <typename Match> bool any_open(int proc_dir, Match match) {
  own::fd fds(openat(proc_dir, "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fds)
    return false;
  own::dir list(fdopendir(fds.get()));
  if (!list)
    return false;
  fds.release();
  while (const dirent *entry = readdir(list.get())) {
    if (entry->d_name[0] != '.' && match(link_target(dirfd(list.get()), entry->d_name)))
      return true;
  }
  return false;
}

bool holds_through_links(int proc_dir, std::string_view folder) {
  for (const char *name : {"cwd", "root", "exe"})
    if (at_or_below(link_target(proc_dir, name), folder))
      return true;
  return any_open(proc_dir,
                  [folder](const std::string &path) { return at_or_below(path, folder); });
}

// A process that ended while it was examined is a zombie ("Z") or its folder
// answers no more; a new process with the same id has another folder.
bool still_running(int proc_dir) {
  own::fd file(openat(proc_dir, "stat", O_RDONLY | O_CLOEXEC));
  if (!file)
    return false;
  char text[1024];
  ssize_t n = read(file.get(), text, sizeof(text));
  if (n <= 0)
    return false;
  // "pid (name) S ...": the name may hold any bytes, ")" among them.
  std::string_view line(text, static_cast<std::size_t>(n));
  std::size_t name_end = line.rfind(')');
  if (name_end == std::string_view::npos || name_end + 2 >= line.size())
    return false;
  return std::string_view("ZXx").find(line[name_end + 2]) == std::string_view::npos;
}

bool runs_windows_code_in(int proc_dir, std::string_view folder) {
  own::fd maps_fd(openat(proc_dir, "maps", O_RDONLY | O_CLOEXEC));
  if (!maps_fd)
    return false;
  own::file maps(fdopen(maps_fd.get(), "r"));
  if (!maps)
    return false;
  maps_fd.release();
  MapFacts facts = read_map(maps.get(), folder);
  return facts.ntdll && (facts.maps_folder || holds_through_links(proc_dir, folder)) &&
         still_running(proc_dir);
}

// A folder name of /proc that is a process id, or 0.
int pid_of_name(const char *name) {
  if (name[0] < '1' || name[0] > '9' || std::strspn(name, "0123456789") != std::strlen(name))
    return 0;
  errno = 0;
  long pid = std::strtol(name, nullptr, 10);
  return errno == 0 && pid <= INT_MAX ? static_cast<int>(pid) : 0;
}

// Calls visit(pid, folder descriptor) for every process under proc_root,
// ascending, until it returns false. Everything of one process is read through
// its own folder, so a process that ends meanwhile is never mixed up with a new
// one given its id.
template <typename Visit> void for_each_process(const char *proc_root, Visit visit) {
  own::dir root(opendir(proc_root));
  if (!root)
    return;
  std::vector<int> ids;
  while (const dirent *entry = readdir(root.get()))
    if (int pid = pid_of_name(entry->d_name))
      ids.push_back(pid);
  std::sort(ids.begin(), ids.end());
  for (int pid : ids) {
    own::fd dir(
        openat(dirfd(root.get()), std::to_string(pid).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir && !visit(pid, dir.get()))
      return;
  }
}

// The ids of the processes whose folder descriptor satisfies keep, ascending.
template <typename Keep> std::vector<int> pids_where(const char *proc_root, Keep keep) {
  std::vector<int> ids;
  for_each_process(proc_root, [&](int pid, int dir) {
    if (keep(dir))
      ids.push_back(pid);
    return true;
  });
  return ids;
}

bool serves(int proc_dir, std::string_view folder) {
  std::string exe = link_target(proc_dir, "exe");
  return exe.compare(exe.rfind('/') + 1, 10, "wineserver") == 0 &&
         any_open(proc_dir, [folder](const std::string &path) { return path == folder; }) &&
         still_running(proc_dir);
}

bool ended(int pid) {
  own::fd dir(open(("/proc/" + std::to_string(pid)).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return !dir || !still_running(dir.get());
}

} // namespace

void collect_pids(const char *proc_root, std::string_view folder, PidList &pids) {
  for_each_process(proc_root, [&](int pid, int dir) {
    if (!runs_windows_code_in(dir, folder))
      return true;
    if (pids.add(pid))
      return true;
    std::fprintf(stderr, "警告：kill_pids缓冲区即将满，已处理 %d 个进程\n", pids.count());
    return false;
  });
}

std::vector<int> windows_pids(const char *proc_root, std::string_view folder) {
  return pids_where(proc_root, [folder](int dir) { return runs_windows_code_in(dir, folder); });
}

std::vector<int> server_pids(const char *proc_root, std::string_view folder) {
  return pids_where(proc_root, [folder](int dir) { return serves(dir, folder); });
}

} // namespace kill_prefix

std::string resolved_prefix_folder() {
  // The same expanded path the DPI reader uses.
  std::string prefix = prefix_path::current();
  if (prefix.empty())
    return {};
  char folder[PATH_MAX];
  struct stat st {};
  if (!realpath(prefix.c_str(), folder) || stat(folder, &st) != 0 || !S_ISDIR(st.st_mode))
    return {};
  return folder;
}

void kill_prefix_processes() {
  std::string folder = resolved_prefix_folder();
  if (folder.empty())
    return;
  kill_prefix::PidList pids;
  kill_prefix::collect_pids("/proc", folder, pids);
  if (pids.count() == 0)
    return;
  shell_quote::flush_std_streams();
  int rc = std::system(kill_prefix::kill_command(pids).c_str());
  (void)rc;
  std::printf("已一次性终止 %d 个进程: %s\n", pids.count(), pids.text());
  std::fflush(stdout);
}

void kill_prefix_processes_and_server() {
  kill_prefix_processes();
  std::string folder = resolved_prefix_folder();
  if (folder.empty())
    return;
  // On SIGTERM the server writes the registry files and exits; without it, it
  // first waits for the killed processes to be reaped, then saves.
  std::vector<int> servers = kill_prefix::server_pids("/proc", folder);
  for (int pid : servers)
    kill(pid, SIGTERM);
  constexpr int kStepMs = 5;
  for (int waited = 0; waited < kill_prefix::kServerWaitMs; waited += kStepMs) {
    if (std::all_of(servers.begin(), servers.end(), kill_prefix::ended))
      return;
    usleep(kStepMs * 1000);
  }
}

#include "prefix/processes.hpp"

#include "prefix/programs.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace processes {

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

namespace {

bool ends_in_exe(std::string_view path) {
  return path.size() > 4 && programs::same_name(path.substr(path.size() - 4), ".exe");
}

// The folder a mapped file lies in is named name: "/tmp/x/server-fe00-1/tmpmap-1 (deleted)".
bool in_folder_named(std::string_view path, std::string_view name) {
  std::size_t slash = path.rfind('/');
  if (name.empty() || slash == std::string_view::npos || slash < name.size() + 1)
    return false;
  return path.substr(slash - name.size(), name.size()) == name &&
         path[slash - name.size() - 1] == '/';
}

} // namespace

MapFacts read_map(std::FILE *maps, std::string_view folder, std::string_view server_dir) {
  MapFacts facts;
  char *line = nullptr;
  std::size_t room = 0;
  ssize_t n;
  while ((n = getline(&line, &room, maps)) > 0) {
    std::string_view text(line, static_cast<std::size_t>(n));
    facts.ntdll = facts.ntdll || text.find("ntdll.dll") != std::string_view::npos;
    std::string path = map_line_path(text);
    facts.maps_folder = facts.maps_folder || at_or_below(path, folder);
    facts.maps_server = facts.maps_server || in_folder_named(path, server_dir);
    if (ends_in_exe(path) &&
        std::find(facts.images.begin(), facts.images.end(), path) == facts.images.end())
      facts.images.push_back(std::move(path));
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

// A process that ended while it was examined is a zombie ("Z") or its folder
// answers no more; a new process with the same id has another folder. Gives
// the process's start time.
bool still_running(int proc_dir, unsigned long long *start_time = nullptr) {
  own::fd file(openat(proc_dir, "stat", O_RDONLY | O_CLOEXEC));
  if (!file)
    return false;
  char text[1024];
  ssize_t n = read(file.get(), text, sizeof(text) - 1);
  if (n <= 0)
    return false;
  text[n] = '\0';
  // "pid (name) S ...": the name may hold any bytes, ")" among them.
  std::string_view line(text, static_cast<std::size_t>(n));
  std::size_t name_end = line.rfind(')');
  if (name_end == std::string_view::npos || name_end + 2 >= line.size())
    return false;
  if (start_time) {
    // The start time is the 22nd field, the 20th after the name.
    const char *at = text + name_end + 2;
    for (int field = 0; field < 19 && at; ++field) {
      at = std::strchr(at, ' ');
      at = at ? at + 1 : nullptr;
    }
    *start_time = at ? std::strtoull(at, nullptr, 10) : 0;
  }
  return std::string_view("ZXx").find(line[name_end + 2]) == std::string_view::npos;
}

std::string read_text(int proc_dir, const char *name) {
  own::fd file(openat(proc_dir, name, O_RDONLY | O_CLOEXEC));
  std::string text;
  if (!file)
    return text;
  char buf[4096];
  ssize_t n;
  while ((n = read(file.get(), buf, sizeof(buf))) > 0 && text.size() < 65536)
    text.append(buf, static_cast<std::size_t>(n));
  return text;
}

// Whether the process runs Windows code in the prefix, and if so its name.
bool examine(int proc_dir, const prefix_path::PrefixPlaces &prefix, bool (*own)(int),
             Process &proc) {
  own::fd maps_fd(openat(proc_dir, "maps", O_RDONLY | O_CLOEXEC));
  if (!maps_fd)
    return false;
  own::file maps(fdopen(maps_fd.get(), "r"));
  if (!maps)
    return false;
  maps_fd.release();
  MapFacts facts = read_map(maps.get(), prefix.folder, prefix.server_dir);
  if (!facts.ntdll || !facts.maps_server)
    return false;
  std::string cmdline = read_text(proc_dir, "cmdline");
  proc.name = programs::windows_file_name(cmdline, read_text(proc_dir, "comm"));
  proc.housekeeping =
      programs::is_housekeeping(proc.name, facts.images, prefix.folder) || (own && own(proc.pid));
  if (proc.housekeeping)
    proc.desktop = programs::desktop_of(cmdline);
  return true;
}

int open_pidfd(int pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

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

// The processes under proc_root that keep accepts, ascending. Each gets a
// pidfd, opened after its folder: if the folder still answers once the pidfd
// is open, both name the same process.
template <typename Keep> std::vector<Process> processes_where(const char *proc_root, Keep keep) {
  std::vector<Process> found;
  for_each_process(proc_root, [&](int pid, int dir) {
    Process proc;
    proc.pid = pid;
    if (!keep(dir, proc))
      return true;
    proc.pidfd = own::fd(open_pidfd(pid));
    if (proc.pidfd && still_running(dir, &proc.start_time))
      found.push_back(std::move(proc));
    return true;
  });
  return found;
}

bool serves(int proc_dir, std::string_view folder) {
  std::string exe = link_target(proc_dir, "exe");
  return exe.compare(exe.rfind('/') + 1, 10, "wineserver") == 0 &&
         any_open(proc_dir, [folder](const std::string &path) { return path == folder; });
}

} // namespace

std::vector<Process> select(const char *proc_root, const prefix_path::PrefixPlaces &prefix,
                            bool (*own)(int pid)) {
  if (prefix.empty())
    return {};
  return processes_where(proc_root,
                         [&](int dir, Process &proc) { return examine(dir, prefix, own, proc); });
}

std::vector<Process> servers(const char *proc_root, const prefix_path::PrefixPlaces &prefix) {
  if (prefix.empty())
    return {};
  return processes_where(proc_root, [&](int dir, Process &) { return serves(dir, prefix.folder); });
}

bool same_process(const Process &a, const Process &b) {
  return a.pid == b.pid && a.start_time == b.start_time;
}

std::vector<const Process *> not_agreed(const std::vector<Process> &procs,
                                        const std::vector<Process> &agreed) {
  std::vector<const Process *> out;
  for (const Process &proc : procs)
    if (!proc.housekeeping && std::none_of(agreed.begin(), agreed.end(),
                                           [&](const Process &a) { return same_process(a, proc); }))
      out.push_back(&proc);
  return out;
}

bool other_desktop(const std::vector<Process> &procs) {
  return std::any_of(procs.begin(), procs.end(), [](const Process &proc) {
    return !proc.desktop.empty() && !programs::same_name(proc.desktop, "Default");
  });
}

std::vector<Process> take_programs(std::vector<Process> &procs) {
  std::vector<Process> programs, rest;
  for (Process &proc : procs)
    (proc.housekeeping ? rest : programs).push_back(std::move(proc));
  procs = std::move(rest);
  return programs;
}

std::vector<std::string> program_names(const std::vector<Process> &procs) {
  std::vector<std::string> names;
  for (const Process &proc : procs)
    if (!proc.housekeeping)
      names.push_back(proc.name);
  return programs::to_ask_about(names);
}

bool ended(const Process &proc) {
  pollfd p{proc.pidfd.get(), POLLIN, 0};
  return poll(&p, 1, 0) != 0;
}

} // namespace processes

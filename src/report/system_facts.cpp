#include "report/system_facts.hpp"

#include "prefix/dpi_reader.hpp"
#include "prefix/prefix_path.hpp"
#include "settings/settings.hpp"
#include "util/own.hpp"
#include "util/regular_file.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

namespace system_facts {

namespace {

using steady = std::chrono::steady_clock;
constexpr int kProbeMs = 5000;
// How often a probe looks whether it was cancelled.
constexpr int kSliceMs = 100;

// Files of a prefix come from anywhere: a FIFO or a device named system.reg reads as missing.
std::string read_text(const std::string &path, std::size_t limit = 4 << 20) {
  return regular_file::read(path, limit);
}

std::string trim(std::string_view s) {
  const auto first = s.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos)
    return {};
  return std::string(s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1));
}

std::string env_or(const char *name, const char *missing = "(unset)") {
  const char *value = std::getenv(name);
  return value ? value : missing;
}

bool is_dir(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The process group of the probe that runs now, for stop_probes(); 0 for none.
std::atomic<pid_t> probe_group{0};

struct probe {
  int spawn_error = 0; // the probe did not start: the system's reason
  bool in_time = true;
  int status = 0; // wait status
  std::string out;
};

// Runs argv without a shell, stdin and stderr on /dev/null, in a group of its own, and reads
// its standard output. Past kProbeMs, or when *cancel is set, the whole group is killed: a
// probe that closes its output and hangs, or leaves a child behind, never holds the caller.
probe run_probe(std::vector<std::string> argv, const std::atomic<bool> *cancel) {
  probe p;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    p.spawn_error = errno;
    return p;
  }
  own::fd out(fds[0]);
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  std::vector<char *> args;
  for (std::string &a : argv)
    args.push_back(a.data());
  args.push_back(nullptr);
  pid_t pid = -1;
  p.spawn_error = posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (p.spawn_error != 0)
    return p;
  probe_group = pid;
  const auto deadline = steady::now() + std::chrono::milliseconds(kProbeMs);
  auto time_left = [&] {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, kSliceMs));
  };
  auto over = [&] { return steady::now() >= deadline || (cancel && cancel->load()); };
  char buf[4096];
  for (bool open = true; open;) {
    if (over()) {
      p.in_time = false;
      break;
    }
    pollfd pf{out.get(), POLLIN, 0};
    const int ready = poll(&pf, 1, time_left());
    if (ready < 0 && errno != EINTR)
      break;
    if (ready <= 0)
      continue;
    const ssize_t n = read(out.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR)
      continue;
    open = n > 0;
    if (open && p.out.size() < (1 << 20))
      p.out.append(buf, static_cast<std::size_t>(n));
  }
  // The output ended; the probe gets what is left of its time to end too.
  bool ended = false;
  while (p.in_time) {
    if (waitpid(pid, &p.status, WNOHANG) == pid) {
      ended = true;
      break;
    }
    if (over())
      p.in_time = false;
    else
      usleep(10 * 1000);
  }
  // Whatever of its group is still there goes, the probe itself when it ran out of time.
  kill(-pid, SIGKILL);
  if (!ended)
    while (waitpid(pid, &p.status, 0) < 0 && errno == EINTR) {
    }
  probe_group = 0;
  return p;
}

// The probe's standard output, or nullopt when it cannot start, fails or runs out of time.
std::optional<std::string> output_of(std::vector<std::string> argv,
                                     const std::atomic<bool> *cancel) {
  probe p = run_probe(std::move(argv), cancel);
  if (p.spawn_error || !p.in_time || !WIFEXITED(p.status) || WEXITSTATUS(p.status) != 0)
    return std::nullopt;
  return std::move(p.out);
}

// Runs a tiny static i386 program that exits with 42: the kernel either runs it or refuses
// it with "Exec format error". Kernels can be built or booted without 32-bit emulation.
std::string kernel_runs_32bit(const std::atomic<bool> *cancel) {
  static const unsigned char program[] = {
      0x7f, 'E',  'L',  'F',  1,    1, 1, 0, 0,    0,    0,    0,    0,    0,    0,    0,
      2,    0,    3,    0,    1,    0, 0, 0, 0x54, 0x80, 0x04, 0x08, 0x34, 0,    0,    0,
      0,    0,    0,    0,    0,    0, 0, 0, 0x34, 0,    0x20, 0,    1,    0,    0,    0,
      0,    0,    0,    0,    1,    0, 0, 0, 0,    0,    0,    0,    0,    0x80, 0x04, 0x08,
      0,    0x80, 0x04, 0x08, 0x5f, 0, 0, 0, 0x5f, 0,    0,    0,    5,    0,    0,    0,
      0,    0x10, 0,    0,    0xb8, 1, 0, 0, 0,    0x31, 0xdb, 0xb3, 0x2a, 0xcd, 0x80};
  static_assert(sizeof program == 95);
  std::vector<std::string> dirs = {"/var/tmp", "/dev/shm"};
  if (const char *tmp = std::getenv("TMPDIR"); tmp && *tmp)
    dirs.insert(dirs.begin(), tmp);
  else
    dirs.insert(dirs.begin(), "/tmp");
  for (const std::string &dir : dirs) {
    std::string path = dir + "/nivra-i386-XXXXXX";
    own::fd fd(mkostemp(path.data(), O_CLOEXEC));
    if (!fd)
      continue;
    const bool written =
        write(fd.get(), program, sizeof program) == sizeof program && fchmod(fd.get(), 0700) == 0;
    fd = own::fd(-1);
    if (!written || access(path.c_str(), X_OK) != 0) {
      unlink(path.c_str());
      continue;
    }
    const probe p = run_probe({path}, cancel);
    unlink(path.c_str());
    const int rc = p.spawn_error;
    if (rc == ENOEXEC)
      return "no (the kernel refuses i386 programs: Exec format error)";
    if (rc == EACCES || rc == EPERM) // a folder mounted noexec: try the next
      continue;
    if (rc == 0 && p.in_time && WIFEXITED(p.status) && WEXITSTATUS(p.status) == 42)
      return "yes";
    if (rc == 0 && !p.in_time)
      return "cannot tell (the probe did not end)";
    return std::string("cannot tell (") + (rc ? std::strerror(rc) : "unexpected status") + ")";
  }
  return "cannot tell (no folder to run a probe from)";
}

// Wine's 32-bit half: Debian's wine32 and the usual upstream, Fedora and Arch layouts.
std::string wine32_installed(const std::atomic<bool> *cancel) {
  if (auto status = output_of({"dpkg-query", "-W", "-f=${Status}", "wine32:i386"}, cancel))
    return status->find("install ok installed") != std::string::npos
               ? "yes (Debian package wine32:i386)"
               : "no (Debian package wine32:i386 not installed)";
  for (const char *dir :
       {"/usr/lib/i386-linux-gnu/wine/i386-unix", "/usr/lib/wine/i386-unix",
        "/usr/lib32/wine/i386-unix", "/usr/lib/i386-linux-gnu/wine", "/usr/lib32/wine"})
    if (is_dir(dir))
      return std::string("yes (") + dir + ")";
  return "no (no 32-bit Wine folder found)";
}

std::string wine_version() {
  const char *line = std::strstr(sys_info, "nivra-wine version: ");
  if (!line)
    return "unknown (the launcher printed no version)";
  line += std::strlen("nivra-wine version: ");
  return trim(std::string_view(line, std::strcspn(line, "\n")));
}

std::string opengl_renderer(const std::atomic<bool> *cancel) {
  std::string found;
  for (const char *tool : {"glxinfo", "eglinfo"}) {
    auto text = output_of({tool, "-B"}, cancel);
    if (!text)
      continue;
    std::istringstream in(*text);
    for (std::string line; std::getline(in, line);)
      for (const char *key : {"OpenGL renderer string:", "OpenGL version string:"})
        if (line.find(key) != std::string::npos && found.find(trim(line)) == std::string::npos)
          found += (found.empty() ? "" : "; ") + trim(line);
    if (!found.empty())
      return found + " (" + tool + ")";
  }
  return "not read (neither glxinfo nor eglinfo is installed or could reach the display)";
}

// The kernel's drivers for the graphics cards: readable without any tool.
std::string gpu_drivers() {
  std::string drivers;
  for (int card = 0; card < 8; ++card) {
    const std::string dev = "/sys/class/drm/card" + std::to_string(card) + "/device";
    char target[512];
    const ssize_t n = readlink((dev + "/driver").c_str(), target, sizeof target - 1);
    if (n <= 0)
      continue;
    target[n] = '\0';
    const char *name = std::strrchr(target, '/');
    drivers += (drivers.empty() ? "" : ", ") + std::string("card") + std::to_string(card) + " " +
               (name ? name + 1 : target) + " [" + trim(read_text(dev + "/vendor")) + ":" +
               trim(read_text(dev + "/device")) + "]";
  }
  return drivers.empty() ? "none found in /sys/class/drm" : drivers;
}

} // namespace

void stop_probes() {
  if (const pid_t group = probe_group.load())
    kill(-group, SIGKILL);
}

std::string distribution(std::string_view os_release) {
  auto field = [&](std::string_view key) -> std::string {
    std::istringstream in{std::string(os_release)};
    for (std::string line; std::getline(in, line);) {
      if (line.compare(0, key.size(), key) != 0 || line.size() <= key.size() ||
          line[key.size()] != '=')
        continue;
      std::string value = trim(line.substr(key.size() + 1));
      if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
        value = value.substr(1, value.size() - 2);
      return value;
    }
    return {};
  };
  std::string name = field("PRETTY_NAME");
  if (name.empty())
    name = trim(field("NAME") + " " + field("VERSION"));
  if (name.empty())
    name = "unknown (no /etc/os-release)";
  if (const std::string id = field("VERSION_ID"); !id.empty())
    name += " [VERSION_ID " + id + "]";
  return name;
}

std::optional<std::string> reg_value(std::string_view reg, std::string_view section,
                                     std::string_view name) {
  std::size_t at = 0;
  bool inside = false;
  std::string quoted(1, '"');
  quoted.append(name).append("\"=");
  while (at < reg.size()) {
    std::size_t end = reg.find('\n', at);
    if (end == std::string_view::npos)
      end = reg.size();
    std::string_view line = reg.substr(at, end - at);
    if (!line.empty() && line.back() == '\r')
      line.remove_suffix(1);
    at = end + 1;
    if (!line.empty() && line[0] == '[') {
      inside = line.substr(0, section.size()) == section &&
               (line.size() == section.size() || line[section.size()] == ' ');
      continue;
    }
    if (!inside || line.substr(0, quoted.size()) != quoted)
      continue;
    std::string_view value = line.substr(quoted.size());
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
      value = value.substr(1, value.size() - 2);
    return std::string(value);
  }
  return std::nullopt;
}

std::optional<std::string> prefix_arch(std::string_view system_reg) {
  const std::size_t at = system_reg.find("\n#arch=");
  if (at == std::string_view::npos)
    return std::nullopt;
  const std::size_t from = at + 7;
  return trim(system_reg.substr(from, system_reg.find('\n', from) - from));
}

std::string windows_version(std::string_view system_reg, std::string_view user_reg) {
  constexpr std::string_view kCurrent = "[Software\\\\Microsoft\\\\Windows NT\\\\CurrentVersion]";
  std::string shown;
  if (auto product = reg_value(system_reg, kCurrent, "ProductName"))
    shown = *product;
  if (auto build = reg_value(system_reg, kCurrent, "CurrentBuild"))
    shown += (shown.empty() ? "build " : ", build ") + *build;
  if (auto version = reg_value(system_reg, kCurrent, "CurrentVersion"))
    shown += (shown.empty() ? "NT " : ", NT ") + *version;
  if (auto chosen = reg_value(user_reg, "[Software\\\\Wine]", "Version"))
    return *chosen + " (chosen in winecfg)" + (shown.empty() ? "" : "; registry: " + shown);
  return shown.empty() ? "unknown (not in system.reg)" : shown;
}

std::string collect(const run_info &run, const std::atomic<bool> *cancel) {
  std::string out;
  auto fact = [&out](const char *name, const std::string &value) {
    out += name;
    out += ": ";
    out += value;
    out += '\n';
  };
  fact("Distribution", distribution(read_text("/etc/os-release")));
  utsname u{};
  fact("Kernel", uname(&u) == 0
                     ? std::string(u.sysname) + " " + u.release + " " + u.version + " " + u.machine
                     : "unknown");
  fact("Kernel runs 32-bit programs", kernel_runs_32bit(cancel));
  fact("Wine", wine_version());
  fact("Wine launcher", wine_app_path);
  fact("Wine 32-bit half installed", wine32_installed(cancel));

  const std::string prefix = prefix_path::current();
  const std::string system_reg = read_text(prefix + "/system.reg", 64 << 20);
  const std::string user_reg = read_text(prefix + "/user.reg", 64 << 20);
  fact("Prefix", prefix);
  fact("Prefix architecture",
       system_reg.empty() ? "unknown (no system.reg)" : prefix_arch(system_reg).value_or("win32"));
  fact("Windows version",
       system_reg.empty() ? "unknown (no system.reg)" : windows_version(system_reg, user_reg));
  std::string dpi = "96 (not set, Wine's default)";
  if (auto pixels = reg_value(user_reg, "[Control Panel\\\\Desktop]", "LogPixels"))
    if (auto value = dpi_reader::parse_dword(*pixels))
      dpi = std::to_string(*value);
  fact("DPI", user_reg.empty() ? "unknown (no user.reg)" : dpi);

  const char *ctype = std::setlocale(LC_CTYPE, nullptr);
  fact("Locale", "LANG=" + env_or("LANG") + " LC_ALL=" + env_or("LC_ALL") +
                     " LC_MESSAGES=" + env_or("LC_MESSAGES") + " LANGUAGE=" + env_or("LANGUAGE") +
                     " (character set of the helper: " + (ctype ? ctype : "?") + ")");
  fact("Session type", env_or("XDG_SESSION_TYPE") + " (the helper's display: " +
                           (run.display_backend.empty() ? "none" : run.display_backend) +
                           "; DISPLAY=" + env_or("DISPLAY") +
                           " WAYLAND_DISPLAY=" + env_or("WAYLAND_DISPLAY") + ")");
  fact("Desktop",
       env_or("XDG_CURRENT_DESKTOP") + " (DESKTOP_SESSION=" + env_or("DESKTOP_SESSION") + ")");
  fact("OpenGL renderer", opengl_renderer(cancel));
  fact("Graphics driver (kernel)", gpu_drivers());
  fact("Command line", run.command);
  fact("WINEDEBUG", run.channels);
  fact("Extra environment", run.env.empty() ? "(none)" : run.env);
  return out;
}

} // namespace system_facts

#include "wine_env.hpp"

#include "test_support.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace testsupport::wine {

namespace {

constexpr char kComplete[] = ".nivra-test-complete";
// The loader /usr/bin/wine prefers once wine32 is installed.
constexpr char kWine32Loader[] = "/usr/lib/wine/wine";

std::string find_on_path(const std::string &name) {
  const char *path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    std::size_t end = dirs.find(':', start);
    if (end == std::string::npos)
      end = dirs.size();
    std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0)
      return candidate;
    start = end + 1;
  }
  return {};
}

// The 32-bit loader cannot start even cmd.exe in a prefix made before wine32
// was installed: its syswow64 is empty. Where the kernel cannot run that
// loader, no prefix gets the half.
bool lacks_32bit_half(const std::string &prefix) {
  return access(kWine32Loader, X_OK) == 0 && kernel_runs_32bit() &&
         !exists(prefix + "/drive_c/windows/syswow64/kernel32.dll");
}

// Holds an exclusive flock on a file for as long as it lives.
class FileLock {
public:
  explicit FileLock(const std::string &path) {
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0)
      throw std::runtime_error("cannot open lock " + path + ": " + std::strerror(errno));
    while (flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR)
        throw std::runtime_error("cannot lock " + path + ": " + std::strerror(errno));
    }
  }
  ~FileLock() { close(fd_); }
  FileLock(const FileLock &) = delete;
  FileLock &operator=(const FileLock &) = delete;

private:
  int fd_;
};

std::string make_template() {
  std::string wineboot = find_on_path("wineboot");
  std::string wineserver = find_on_path("wineserver");
  if (launcher().empty() || wineboot.empty() || wineserver.empty())
    throw std::runtime_error("Wine (wine, wineboot, wineserver) is not installed");
  std::string final_path = build_dir() + "/wine-test-prefix";
  FileLock lock(final_path + ".lock");
  if (exists(final_path + "/" + kComplete) && !lacks_32bit_half(final_path))
    return final_path;
  if (exists(final_path))
    remove_tree(final_path); // half-made, of an older layout, or made before wine32

  std::string tmpl = build_dir() + "/wine-test-prefix.tmp-XXXXXX";
  if (!mkdtemp(tmpl.data()))
    throw std::runtime_error("mkdtemp failed in " + build_dir());
  std::string prefix = tmpl + "/prefix";
  make_dirs(tmpl + "/home");
  ProcOptions o;
  o.env = env_for(prefix);
  o.env["HOME"] = tmpl + "/home";
  o.env["DISPLAY"] = std::nullopt;
  o.timeout_s = 600;
  ProcResult boot = run_process({wineboot, "-i"}, o);
  o.timeout_s = 120;
  ProcResult wait = run_process({wineserver, "-w"}, o);
  if (boot.timed_out || wait.timed_out || !exists(prefix + "/user.reg") ||
      !exists(prefix + "/system.reg") || !exists(prefix + "/drive_c/windows/system32") ||
      lacks_32bit_half(prefix)) {
    run_process({wineserver, "-k"}, o);
    remove_tree(tmpl);
    throw std::runtime_error("wineboot -i did not make a prefix: " + boot.err);
  }
  write_file(prefix + "/" + kComplete, "");
  if (rename(prefix.c_str(), final_path.c_str()) != 0) {
    std::string why = std::strerror(errno);
    remove_tree(tmpl);
    throw std::runtime_error("cannot move the new prefix into place: " + why);
  }
  remove_tree(tmpl);
  return final_path;
}

// Big files under drive_c/windows are DLLs and programs that Wine only reads
// after wineboot; sharing them keeps a private copy cheap. Everything Wine
// writes (the registry files, the small ini files, new files) is a real copy.
bool may_share(const fs::path &rel, const fs::directory_entry &entry) {
  auto it = rel.begin();
  if (it == rel.end() || *it != "drive_c" || ++it == rel.end() || *it != "windows")
    return false;
  std::error_code ec;
  return entry.file_size(ec) >= 64 * 1024 && !ec;
}

void copy_prefix(const std::string &from, const std::string &to) {
  fs::create_directory(to);
  for (auto it = fs::recursive_directory_iterator(from); it != fs::recursive_directory_iterator();
       ++it) {
    fs::path rel = it->path().lexically_relative(from);
    fs::path dest = fs::path(to) / rel;
    if (rel == kComplete)
      continue;
    if (it->is_symlink()) {
      fs::copy_symlink(it->path(), dest);
    } else if (it->is_directory()) {
      fs::create_directory(dest);
    } else if (it->is_regular_file()) {
      std::error_code ec;
      if (may_share(rel, *it))
        fs::create_hard_link(it->path(), dest, ec);
      if (!may_share(rel, *it) || ec)
        fs::copy_file(it->path(), dest);
    }
  }
}

std::string read_proc(int pid, const char *what) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/" + what, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

} // namespace

std::string launcher() {
  std::string wine = find_on_path("wine");
  if (wine.empty())
    throw std::runtime_error("Wine is not installed: no wine on PATH");
  return wine;
}

bool kernel_runs_32bit() {
  static const bool runs = [] {
    ProcResult r = run_process({"bash", source_dir() + "/scripts/probe-32bit.sh"});
    if (r.status != 0 && r.status != 1)
      throw std::runtime_error("the kernel probe gave no answer: " + r.err);
    return r.status == 0;
  }();
  return runs;
}

const std::string &template_prefix() {
  static const std::string path = make_template();
  return path;
}

std::map<std::string, std::optional<std::string>> env_for(const std::string &prefix) {
  return {{"WINEPREFIX", prefix}, {"WINEDEBUG", "-all"}, {"WINEDLLOVERRIDES", "mscoree,mshtml="}};
}

TestPrefix::TestPrefix(std::string path) : path_(std::move(path)) {
  if (exists(path_))
    throw std::runtime_error("test prefix already exists: " + path_);
  copy_prefix(template_prefix(), path_);
}

TestPrefix::~TestPrefix() { kill_server(path_); }

void kill_server(const std::string &prefix) {
  ProcOptions o;
  o.env = env_for(prefix);
  o.timeout_s = 60;
  std::string wineserver = find_on_path("wineserver");
  if (wineserver.empty())
    return;
  run_process({wineserver, "-k"}, o);
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!windows_pids(prefix).empty() && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

std::vector<int> windows_pids(const std::string &prefix) {
  std::vector<int> pids;
  const std::string wanted = "WINEPREFIX=" + prefix;
  std::error_code ec;
  for (const auto &entry : fs::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos)
      continue;
    int pid = std::stoi(name);
    std::string environ = read_proc(pid, "environ");
    bool in_prefix = false;
    for (std::size_t at = 0; at < environ.size();) {
      std::size_t end = environ.find('\0', at);
      if (end == std::string::npos)
        end = environ.size();
      if (environ.compare(at, end - at, wanted) == 0)
        in_prefix = true;
      at = end + 1;
    }
    if (in_prefix && read_proc(pid, "maps").find("ntdll.dll") != std::string::npos &&
        pid_alive(pid))
      pids.push_back(pid);
  }
  return pids;
}

std::string command_line(int pid) {
  std::string text = read_proc(pid, "cmdline");
  for (char &c : text)
    if (c == '\0')
      c = ' ';
  while (!text.empty() && text.back() == ' ')
    text.pop_back();
  return text;
}

int spawn(const std::string &script, const std::string &prefix, const std::string &cwd) {
  auto env = env_for(prefix);
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0)
    throw std::runtime_error("fork failed");
  if (pid == 0) {
    setpgid(0, 0);
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    for (const auto &[name, value] : env)
      setenv(name.c_str(), value->c_str(), 1);
    if (chdir(cwd.c_str()) != 0)
      _exit(126);
    execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  setpgid(pid, pid);
  return pid;
}

void stop(int pid) {
  if (pid <= 0)
    return;
  kill(-pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

} // namespace testsupport::wine

#include "prefix/end_session.hpp"
#include "prefix/programs.hpp"
#include "prefix/stop.hpp"
#include "settings/settings.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

using namespace testsupport;

namespace {

struct MemFile {
  explicit MemFile(std::string text) : text_(std::move(text)) {
    fp = fmemopen(text_.data(), text_.size(), "r");
  }
  ~MemFile() {
    if (fp)
      std::fclose(fp);
  }
  std::string text_;
  std::FILE *fp;
};

TEST(KillPrefixDecide, AtOrBelow) {
  struct Case {
    const char *path, *folder;
    bool below;
  };
  const Case cases[] = {
      {"/p", "/p", true},
      {"/p/drive_c/x.exe", "/p", true},
      {"/px", "/p", false},
      {"/", "/p", false},
      {"", "/p", false},
      {"/p/x", "", false},
      // A removed prefix is shown with the kernel's mark; what was below it still is.
      {"/p (deleted)", "/p", false},
      {"/p/x (deleted)", "/p", true},
      {"/anything", "/", true},
      {"socket:[1234]", "/", false},
      {"/a\nb/c", "/a\nb", true},
  };
  for (const Case &c : cases)
    EXPECT_EQ(processes::at_or_below(c.path, c.folder), c.below) << c.path << " in " << c.folder;
}

TEST(KillPrefixDecide, MapLinePath) {
  struct Case {
    std::string line, path;
  };
  const std::string head = "7f1c2a000000-7f1c2a200000 r--p 00001000 08:01 262146";
  const Case cases[] = {
      {head + "                   /usr/lib/x.so\n", "/usr/lib/x.so"},
      {head + " /usr/lib/x.so", "/usr/lib/x.so"},
      {head + "  /home/u/my wine/drive_c/a b.dll\n", "/home/u/my wine/drive_c/a b.dll"},
      {head + "  /home/u/new\\012line/x (deleted)\n", "/home/u/new\nline/x (deleted)"},
      {head + "  /" + std::string(5000, 'x') + "\n", "/" + std::string(5000, 'x')},
      {head + "                   [heap]\n", ""},
      {"7ffd1000-7ffd2000 rw-p 00000000 00:00 0 \n", ""},
      {"7ffd1000-7ffd2000 rw-p 00000000 00:00 0\n", ""},
      {"/not/a/map/line\n", ""},
      {"", ""},
  };
  for (const Case &c : cases)
    EXPECT_EQ(processes::map_line_path(c.line), c.path) << c.line.substr(0, 90);
}

TEST(KillPrefixDecide, ReadMap) {
  const std::string wine_map =
      "7f0000000000-7f0000001000 r--p 00000000 fe:01 1 /usr/lib/x86_64-linux-gnu/wine/"
      "x86_64-unix/ntdll.so\n"
      "140000000-140001000 r--p 00000000 fe:01 2 /usr/lib/x86_64-linux-gnu/wine/x86_64-windows/"
      "ntdll.dll\n"
      "140002000-140003000 r--p 00000000 fe:01 3 /p/drive_c/windows/system32/cmd.exe\n";
  // Every client of a prefix's server maps a file of the server's folder.
  const std::string server_file = "7f00-7f01 r--s 0 00:1e 9 /tmp/.wine-0/server-fe00-2a/tmpmap-1\n";
  struct Case {
    std::string map;
    bool ntdll, maps_folder, maps_server = false;
    std::vector<std::string> images = {};
  };
  const Case cases[] = {
      {wine_map, true, true, false, {"/p/drive_c/windows/system32/cmd.exe"}},
      {"55d0-55d1 r--p 0 fe:01 3 /usr/bin/sleep\n7f00-7f01 r--p 0 fe:01 4 /p/x.txt\n", false, true},
      {"", false, false},
      {"7f00-7f01 r--p 0 fe:01 5 /usr/lib/wine/ntdll.so\n7f01-7f02 r--p 0 fe:01 6 /px/y\n", false,
       false},
      // Lines of any length are read whole.
      {"7f00-7f01 r--p 0 fe:01 7 /" + std::string(3000, 'x') + "/ntdll.dll\n", true, false},
      {"7f00-7f01 r--p 0 fe:01 8 /" + std::string(3000, 'x') + "\n7f01-7f02 r--p 0 fe:01 9 /p\n",
       false, true},
      {wine_map.substr(0, wine_map.rfind("140002000")) + server_file +
           "1-2 r--p 0 fe:01 3 /tmp/out/MyCon.EXE\n1-2 r-xp 0 fe:01 3 /tmp/out/MyCon.EXE\n",
       true,
       false,
       true,
       {"/tmp/out/MyCon.EXE"}},
      {server_file + " (deleted)\n", false, false, true},
      {"7f00-7f01 r--s 0 00:1e 9 /tmp/.wine-0/server-fe00-2ab/tmpmap-1\n", false, false, false},
  };
  for (const Case &c : cases) {
    MemFile f(c.map);
    ASSERT_NE(f.fp, nullptr);
    processes::MapFacts facts = processes::read_map(f.fp, "/p", "server-fe00-2a");
    EXPECT_EQ(facts.ntdll, c.ntdll) << c.map.substr(0, 80);
    EXPECT_EQ(facts.maps_folder, c.maps_folder) << c.map.substr(0, 80);
    EXPECT_EQ(facts.maps_server, c.maps_server) << c.map.substr(0, 80);
    EXPECT_EQ(facts.images, c.images) << c.map.substr(0, 80);
  }
}

TEST(KillPrefixDecide, PidList) {
  stop::PidList pids;
  EXPECT_TRUE(pids.add(4100));
  EXPECT_TRUE(pids.add(4123));
  EXPECT_TRUE(pids.add(4150));
  EXPECT_EQ(pids.count(), 3);
  EXPECT_STREQ(pids.text(), "4100 4123 4150");
}

// What Wine puts in /proc/PID/cmdline, as seen on Wine 8, and which names
// bring the question.
TEST(RunningPrograms, WindowsFileNameAndWhoIsAskedAbout) {
  using namespace std::string_literals;
  struct Case {
    std::string cmdline, comm, name;
    bool asked;
  };
  const Case cases[] = {
      {"C:\\windows\\system32\\notepad.exe\0\0\0"s, "notepad.exe\n", "notepad.exe", true},
      {"C:\\Program Files\\My App\\my editor (x86).exe\0"s, "my editor (x86)\n",
       "my editor (x86).exe", true},
      {"C:\\averyveryverylongname64.exe\0"s, "averyveryverylo\n", "averyveryverylongname64.exe",
       true},
      {"/tmp/unix dir/\xc3\x89"
       "dit\xc3\xa9.EXE\0"s,
       "x\n",
       "\xc3\x89"
       "dit\xc3\xa9.EXE",
       true},
      {"Z:\\tmp\\\"q.exe\"\0"s, "q.exe\n", "q.exe", true},
      {"C:\\windows\\system32\\rundll32.exe\0shell32.dll,Control_RunDLL\0"s, "", "rundll32.exe",
       true},
      {"C:\\windows\\system32\\iexplore.exe\0"s, "", "iexplore.exe", true},
      // Wine's own.
      {"C:\\windows\\system32\\services.exe\0\0"s, "services.exe\n", "services.exe", false},
      {"C:\\windows\\system32\\explorer.exe\0/desktop\0"s, "", "explorer.exe", false},
      {"C:\\windows\\system32\\svchost.exe\0-k\0LocalServiceNetworkRestricted\0"s, "",
       "svchost.exe", false},
      {"start.exe\0/exec\0notepad.exe\0"s, "start.exe\n", "start.exe", false},
      {"C:\\windows\\system32\\winemenubuilder.exe\0-a\0-r\0"s, "winemenubuilder\n",
       "winemenubuilder.exe", false},
      {"C:\\WINDOWS\\SYSTEM32\\WINEDEVICE.EXE\0"s, "", "WINEDEVICE.EXE", false},
      // Nothing to read but the kernel's name.
      {""s, "plugplay.exe\n", "plugplay.exe", false},
      {"\0\0"s, "game.exe\n", "game.exe", true},
      {""s, "", "", false},
  };
  for (const Case &c : cases) {
    std::string name = programs::windows_file_name(c.cmdline, c.comm);
    EXPECT_EQ(name, c.name) << c.cmdline;
    // As Wine runs its own: the builtin program, which it shows as system32's.
    std::string builtin = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/" + name;
    EXPECT_EQ(!name.empty() && !programs::is_housekeeping(name, {builtin}, "/p"), c.asked)
        << c.name;
  }
  // In the order found, each program once.
  EXPECT_THAT(programs::to_ask_about({"b.exe", "a.exe", "B.EXE", "", "a.exe", "c.exe"}),
              ElementsAre("b.exe", "a.exe", "c.exe"));
}

// Where the program file is tells Wine's own from a user's of the same name.
TEST(RunningPrograms, HousekeepingRunsFromWinesOwnPlaces) {
  const struct {
    std::string name, image;
    bool housekeeping;
  } rows[] = {
      {"start.exe", "/usr/lib/i386-linux-gnu/wine/i386-windows/start.exe", true},
      {"explorer.exe", "/opt/wine-8/lib/wine/x86_64-windows/explorer.exe", true},
      {"SERVICES.EXE", "/p/drive_c/windows/system32/services.exe", true},
      {"svchost.exe", "/p/drive_c/windows/syswow64/svchost.exe", true},
      {"start.exe", "/p/drive_c/Games/X/start.exe", false},
      {"explorer.exe", "/p/drive_c/windows/explorer.exe", false},
      {"explorer.exe", "/home/u/x86_64-windows/explorer.exe", false},
      {"start.exe", "/p/drive_c/windows/system32/sub/start.exe", false},
      {"start.exe", "/usr/lib/wine/x86_64-windows/notstart.exe", false},
      {"notepad.exe", "/usr/lib/wine/x86_64-windows/notepad.exe", false},
  };
  for (const auto &row : rows)
    EXPECT_EQ(programs::is_housekeeping(row.name, {"/lib/a.exe", row.image}, "/p"),
              row.housekeeping)
        << row.image;
}

// Agreement is kept by process: the same id started at the same time. Wine's
// desktop processes say which desktop they run.
TEST(RunningPrograms, AgreementIsByProcessAndOtherDesktopsAreSeen) {
  using namespace std::string_literals;
  auto proc = [](int pid, unsigned long long start, std::string desktop = "") {
    processes::Process p;
    p.pid = pid;
    p.start_time = start;
    p.name = desktop.empty() ? "notepad.exe" : "explorer.exe";
    p.housekeeping = !desktop.empty();
    p.desktop = desktop == "-" ? "" : desktop;
    return p;
  };
  std::vector<processes::Process> agreed;
  agreed.push_back(proc(10, 500));
  std::vector<processes::Process> now;
  now.push_back(proc(10, 500)); // the agreed one
  now.push_back(proc(11, 900)); // a second copy of the same name, started since
  now.push_back(proc(12, 80, "-"));
  std::vector<int> left;
  for (const processes::Process *p : processes::not_agreed(now, agreed))
    left.push_back(p->pid);
  EXPECT_THAT(left, ElementsAre(11));
  now[0].start_time = 501; // its id given to a new process
  EXPECT_EQ(processes::not_agreed(now, agreed).size(), 2u);
  EXPECT_FALSE(processes::other_desktop(now));
  for (const char *desktop : {"Side", "default2"}) {
    now.push_back(proc(13, 90, desktop));
    EXPECT_TRUE(processes::other_desktop(now)) << desktop;
    now.pop_back();
  }
  now.push_back(proc(13, 90, "DEFAULT"));
  EXPECT_FALSE(processes::other_desktop(now));

  const struct {
    std::string cmdline, desktop;
  } rows[] = {
      {"C:\\windows\\system32\\explorer.exe\0/desktop\0"s, ""},
      {"C:\\windows\\system32\\explorer.exe\0/desktop=Side,800x600\0notepad.exe\0"s, "Side"},
      {"explorer.exe\0/DESKTOP=My Desk\0"s, "My Desk"},
      {"explorer.exe\0/desktop=\0"s, ""},
      {"notepad.exe\0x/desktop=Side\0"s, ""},
  };
  for (const auto &row : rows)
    EXPECT_EQ(programs::desktop_of(row.cmdline), row.desktop) << row.cmdline;
}

// Each program has its own time: the limit starts again whenever one ends.
TEST(EndSession, AnswerClockStartsAgainWhenAProgramEnds) {
  end_session::AnswerClock clock(0, 30000, 2);
  const struct {
    std::int64_t at;
    int running;
    bool expired;
  } steps[] = {{20000, 2, false}, {29999, 2, false}, {29999, 1, false},
               {59998, 1, false}, {59999, 1, true},  {60000, 0, false}};
  for (const auto &step : steps)
    EXPECT_EQ(clock.expired(step.at, step.running), step.expired) << step.at;
}

// A made-up /proc: each process a folder with the files and links the
// selection reads; what a real process would not show is left out. Each is
// named after a live process of its own, which the selection opens a pidfd of.
class FakeProc : public testing::Test {
protected:
  struct Process {
    std::string maps = "1-2 r--p 0 fe:01 1 /usr/lib/wine/x86_64-windows/ntdll.dll\n";
    std::map<std::string, std::string> links; // "cwd", "exe", "fd/7"... to their targets
    std::string state = "S";                  // "" leaves stat out
    bool readable_maps = true;
  };
  // The folder's name, pid unless one is given.
  int add(const Process &p, std::string pid = {}) {
    if (pid.empty()) {
      live.push_back(std::make_unique<FileHolder>(tool_path("hold_files"), "/", "", ""));
      pid = std::to_string(live.back()->pid());
    }
    std::string at = dir / pid;
    make_dirs(at + "/fd");
    if (p.readable_maps)
      write_file(at + "/maps", p.maps);
    if (!p.state.empty())
      write_file(at + "/stat", pid + " (wine) x) " + p.state + " 1 1 1 0\n");
    for (const auto &[name, target] : p.links)
      EXPECT_EQ(symlink(target.c_str(), (at + "/" + name).c_str()), 0) << name;
    return std::atoi(pid.c_str());
  }
  std::string collect(std::string *err = nullptr) {
    stop::PidList pids;
    CaptureStderr();
    stop::list_ids(processes::select(dir.path().c_str(), places, nullptr), pids);
    std::string e = GetCapturedStderr();
    if (err)
      *err = e;
    else
      EXPECT_EQ(e, "");
    return pids.text();
  }
  TempDir dir;
  std::vector<std::unique_ptr<FileHolder>> live;
  const prefix_path::PrefixPlaces places{"/w/prefix", "server-fe00-2a"};
};

std::string ascending(int a, int b) {
  return std::to_string(std::min(a, b)) + " " + std::to_string(std::max(a, b));
}

TEST_F(FakeProc, ChoosesByWhatEachProcessHolds) {
  using Links = std::map<std::string, std::string>;
  auto with = [](Links links, std::string maps = Process().maps) {
    Process p;
    p.links = std::move(links);
    p.maps = std::move(maps);
    return p;
  };
  const std::string prefix_dll = "1-2 r--p 0 fe:01 2 /w/prefix/drive_c/windows/system32/cmd.exe\n";
  const std::string server_file = "1-2 r--s 0 00:1e 9 /tmp/.wine-0/server-fe00-2a/tmpmap-1\n";
  const std::string client = Process().maps + server_file;
  // Clients of the prefix's server: one working in the prefix, one that holds
  // nothing of it.
  const int in_prefix = add(with({{"cwd", "/w/prefix/drive_c"}}, client));
  const int elsewhere = add(with({{"cwd", "/tmp"}}, client));
  // Programs of other prefixes' servers that hold this prefix's files, as one
  // started from its drive_c does: never this prefix's.
  const std::string other = Process().maps + "1-2 r--s 0 00:1e 9 /tmp/server-fe00-2b/t\n";
  add(with({{"cwd", "/tmp"}, {"fd/7", "/w/prefix/drive_c/file.txt"}}, other));
  add(with({{"cwd", "/tmp"}, {"exe", "/usr/bin/x"}}, other + prefix_dll));
  add(with({{"root", "/w/prefix"}}));
  add(with({{"exe", "/w/prefix/drive_c/a.exe"}}));
  add(with({{"fd/0", "/w/prefix"}}));
  add(with({{"cwd", "/w/prefix"}}, other));
  // A server file without Windows code, and a folder named like the server's
  // but longer.
  add(with({{"cwd", "/w/prefix"}}, prefix_dll + server_file));
  add(with({{"cwd", "/w/prefixX"}},
           Process().maps + "1-2 r--s 0 00:1e 9 /tmp/xserver-fe00-2a/t\n"));
  // Maps that cannot be read, and processes that ended while examined: a
  // zombie, and one whose folder answers no more.
  Process hidden = with({{"cwd", "/w/prefix"}}, client);
  hidden.readable_maps = false;
  add(hidden);
  Process zombie = with({{"cwd", "/w/prefix"}}, client);
  zombie.state = "Z";
  add(zombie);
  zombie.state = "";
  add(zombie);
  // Not processes, and an id above any the kernel gives, which has no pidfd.
  for (const char *name : {"self", "007", "1x", "99999999999", "4194304"})
    add(with({{"cwd", "/w/prefix"}}, client), name);
  EXPECT_EQ(collect(), ascending(in_prefix, elsewhere));
}

TEST_F(FakeProc, FindsThePrefixServerByWhatItHolds) {
  auto server = [](std::string exe, std::string held, std::string state = "S") {
    Process p;
    p.maps = "1-2 r-xp 0 fe:01 3 " + exe + "\n";
    p.links = {{"exe", exe}, {"fd/4", held}, {"fd/5", "/tmp/.wine-0/server-fe00-1"}};
    p.state = std::move(state);
    return p;
  };
  const int packaged = add(server("/usr/lib/wine/wineserver64", "/w/prefix"));
  const int own_build = add(server("/opt/wine/bin/wineserver", "/w/prefix"));
  add(server("/usr/lib/wine/wineserver64", "/w/other"));
  add(server("/usr/lib/wine/wineserver64", "/w/prefix/drive_c"));
  add(server("/usr/lib/wine/wineserver64", "/w/prefix", "Z"));
  add(server("/usr/bin/bash", "/w/prefix"));
  add(server("/usr/bin/notwineserver", "/w/prefix"));
  std::vector<int> found;
  for (const processes::Process &proc : processes::servers(dir.path().c_str(), places))
    found.push_back(proc.pid);
  EXPECT_THAT(found, ElementsAre(std::min(packaged, own_build), std::max(packaged, own_build)));
}

TEST(KillPrefixDecide, ListStopsWhenNearlyFull) {
  // Ten-digit ids add eleven characters each: the 370th reaches 4069 >= 4064.
  std::vector<processes::Process> procs(400);
  for (int i = 0; i < 400; ++i)
    procs[i].pid = 1000000000 + i;
  stop::PidList pids;
  std::size_t taken = 0;
  CaptureStderr();
  stop::list_ids(procs, pids, &taken);
  EXPECT_EQ(GetCapturedStderr(), "警告：kill_pids缓冲区即将满，已处理 370 个进程\n");
  EXPECT_EQ(taken, 370u);
  std::string t = pids.text();
  EXPECT_EQ(t.size(), 4069u);
  EXPECT_EQ(t.substr(t.size() - 10), "1000000369");
}

class KillPrefixTest : public testing::Test {
protected:
  void SetUp() override {
    // A prefix path of over 1000 characters works like any other.
    prefix_text = dir.path();
    for (int i = 0; i < 6; ++i)
      prefix_text += "/" + std::string(180, 'a' + i);
    make_dirs(prefix_text + "/drive_c");
    write_file(prefix_text + "/drive_c/file.txt", "x");
    make_dirs(dir / "bin");
    windows = windows_like_holder(dir / "bin");
    server_file = client_file(prefix_text);
  }
  // A file in a folder named as the prefix's server's, which a client maps.
  std::string client_file(const std::string &prefix) {
    std::string at = dir / ("srv/" + prefix_path::prefix_places_of(prefix).server_dir);
    make_dirs(at);
    write_file(at + "/tmpmap", "x");
    return at + "/tmpmap";
  }
  void TearDown() override { wine_prefix = nullptr; }
  std::string run(std::string *err) {
    CaptureStdout();
    CaptureStderr();
    stop::stop(processes::select("/proc", prefix_path::current_prefix_places(), nullptr));
    *err = GetCapturedStderr();
    return GetCapturedStdout();
  }
  TempDir dir;
  std::string prefix_text, windows, server_file;
};

TEST_F(KillPrefixTest, KillsOnlyWindowsProcessesHoldingThePrefixInOneCommand) {
  // The prefix is named through a link; its server's folder is named after
  // the folder the link leads to.
  ASSERT_EQ(symlink(prefix_text.c_str(), (dir / "link").c_str()), 0);
  const std::string in = dir / "link/drive_c";
  FileHolder by_cwd(windows, in, "", server_file);
  FileHolder by_open_file(windows, dir.path(), in + "/file.txt", server_file);
  FileHolder by_map(windows, dir.path(), "", server_file);
  // Windows code that holds the prefix but is another server's client, as a
  // program of another prefix started from this one's drive_c.
  FileHolder other_prefix(windows, in, in + "/file.txt", in + "/file.txt");
  FileHolder elsewhere(windows, dir.path(), "", ""); // Windows code, not the prefix
  FileHolder plain(tool_path("hold_files"), in, in + "/file.txt", server_file); // no Windows code
  FileHolder ended(windows, in, "", server_file);
  ended.make_zombie();
  if (geteuid() == 0) {
    // Another user sees none of them, as a listing run by that user would not.
    ProcResult other = run_in_child(
        [&] {
          stop::PidList pids;
          stop::list_ids(
              processes::select("/proc", prefix_path::prefix_places_of(prefix_text), nullptr),
              pids);
          std::printf("%s", pids.text());
          return 0;
        },
        true);
    EXPECT_EQ(other.status, 0);
    EXPECT_EQ(other.out + other.err, "");
  }
  std::string link = dir / "link";
  wine_prefix = link.c_str();
  std::string err;
  std::string out = run(&err);
  EXPECT_EQ(err, "");
  std::vector<int> ids{by_cwd.pid(), by_open_file.pid(), by_map.pid()};
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(out, "已一次性终止 3 个进程: " + std::to_string(ids[0]) + " " + std::to_string(ids[1]) +
                     " " + std::to_string(ids[2]) + "\n");
  for (int pid : ids)
    EXPECT_TRUE(eventually([&] { return !pid_alive(pid); }, 5, 20)) << pid;
  EXPECT_TRUE(pid_alive(elsewhere.pid()));
  EXPECT_TRUE(pid_alive(other_prefix.pid()));
  EXPECT_TRUE(pid_alive(plain.pid()));

  // Nothing of the prefix runs Windows code any more: no output at all.
  out = run(&err);
  EXPECT_EQ(out + err, "");
  EXPECT_TRUE(pid_alive(plain.pid()));
}

// Through the pidfd opened when it was examined.
TEST_F(KillPrefixTest, StopsByPidfd) {
  FileHolder holder(windows, prefix_text + "/drive_c", "", server_file);
  std::vector<processes::Process> procs =
      processes::select("/proc", prefix_path::prefix_places_of(prefix_text), nullptr);
  ASSERT_EQ(procs.size(), 1u);
  EXPECT_TRUE(procs[0].pidfd) << "examined without a pidfd";
  EXPECT_FALSE(processes::ended(procs[0]));
  CaptureStdout();
  stop::stop(procs);
  EXPECT_EQ(GetCapturedStdout(), "已一次性终止 1 个进程: " + std::to_string(holder.pid()) + "\n");
  EXPECT_TRUE(eventually([&] { return processes::ended(procs[0]); }, 5, 20));
}

TEST_F(KillPrefixTest, LeadingTildeIsTheHomeFolder) {
  FileHolder holder(windows, prefix_text + "/drive_c", "", server_file);
  ScopedEnv home("HOME", prefix_text);
  wine_prefix = "~";
  std::string err;
  EXPECT_EQ(run(&err), "已一次性终止 1 个进程: " + std::to_string(holder.pid()) + "\n");
  EXPECT_TRUE(eventually([&] { return !pid_alive(holder.pid()); }, 5, 20));
}

TEST_F(KillPrefixTest, PrefixThatIsNoFolderStopsNothing) {
  FileHolder holder(windows, prefix_text + "/drive_c", prefix_text + "/drive_c/file.txt",
                    server_file);
  const std::string file = prefix_text + "/drive_c/file.txt", missing = dir / "missing";
  for (const char *prefix :
       {static_cast<const char *>(nullptr), "", missing.c_str(), file.c_str()}) {
    wine_prefix = prefix;
    std::string err;
    EXPECT_EQ(run(&err) + err, "") << (prefix ? prefix : "(none)");
  }
  EXPECT_TRUE(pid_alive(holder.pid()));
}

} // namespace

// Stopping a prefix's processes with real Wine processes in a test prefix.
#include "prefix/stop.hpp"
#include "settings/settings.hpp"
#include "test_support.hpp"
#include "wine_env.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace testsupport;

namespace {

// Waits until a cmd.exe runs in the prefix and the set of its Windows
// processes has stopped changing (Wine starts its services over a few seconds).
std::set<int> settled_windows_pids(const std::string &prefix) {
  std::set<int> last;
  auto has_cmd = [&] {
    for (int pid : wine::windows_pids(prefix))
      if (wine::command_line(pid).find("cmd.exe") != std::string::npos)
        return true;
    return false;
  };
  if (!eventually(has_cmd, 120))
    return {};
  int stable = 0;
  for (int i = 0; i < 300 && stable < 20; ++i) {
    auto now = wine::windows_pids(prefix);
    std::set<int> current(now.begin(), now.end());
    stable = current == last ? stable + 1 : 0;
    last = current;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return last;
}

// The one line the termination prints, split into its count and ids.
struct KillLine {
  int count = -1;
  std::vector<int> ids;
};

KillLine parse_kill_line(const std::string &out) {
  static const std::regex line("^已一次性终止 ([0-9]+) 个进程: ([0-9]+( [0-9]+)*)\n$");
  std::smatch m;
  KillLine k;
  if (!std::regex_match(out, m, line))
    return k;
  k.count = std::stoi(m[1]);
  std::istringstream ids(m[2]);
  for (int id; ids >> id;)
    k.ids.push_back(id);
  return k;
}

class KillPrefixWineTest : public testing::Test {
protected:
  void TearDown() override {
    for (int pid : spawned)
      wine::stop(pid);
    wine_prefix = nullptr;
  }

  // Wine's cmd.exe waiting on a pipe, started from inside the prefix, and a
  // plain sleep whose working folder is in the prefix.
  void start_processes(const std::string &prefix) {
    spawned.push_back(wine::spawn("sleep 600 | wine cmd.exe", prefix, prefix + "/drive_c"));
    holder = wine::spawn("exec sleep 600", prefix, prefix + "/drive_c");
    spawned.push_back(holder);
  }

  std::string kill_and_capture(const std::string &prefix, std::string *err) {
    wine_prefix = prefix.c_str();
    CaptureStdout();
    CaptureStderr();
    stop::stop(processes::select("/proc", prefix_path::current_prefix_places(), nullptr));
    std::string out = GetCapturedStdout();
    *err = GetCapturedStderr();
    return out;
  }

  void expect_all_killed(const std::string &prefix, const std::set<int> &before,
                         const std::string &out) {
    KillLine line = parse_kill_line(out);
    ASSERT_GT(line.count, 0) << out;
    EXPECT_EQ(static_cast<std::size_t>(line.count), line.ids.size());
    std::set<int> killed(line.ids.begin(), line.ids.end());
    for (int pid : before)
      EXPECT_TRUE(killed.count(pid)) << pid << " " << wine::command_line(pid) << " not in " << out;
    EXPECT_FALSE(killed.count(holder));
    EXPECT_TRUE(eventually([&] { return wine::windows_pids(prefix).empty(); }, 10));
    EXPECT_TRUE(pid_alive(holder)) << "a process without Windows code was killed";
  }

  TempDir dir;
  std::vector<int> spawned;
  int holder = -1;
};

TEST_F(KillPrefixWineTest, WineProcessesGoWithOneCommandAndOtherHoldersStay) {
  wine::TestPrefix prefix(dir / "prefix");
  start_processes(prefix.path());
  std::set<int> before = settled_windows_pids(prefix.path());
  ASSERT_GE(before.size(), 2u) << "Wine did not start in the test prefix";

  std::string err;
  std::string out = kill_and_capture(prefix.path(), &err);
  EXPECT_EQ(err, "");
  expect_all_killed(prefix.path(), before, out);

  // Nothing of the prefix runs Windows code any more: a second call is silent.
  out = kill_and_capture(prefix.path(), &err);
  EXPECT_EQ(out, "");
  EXPECT_EQ(err, "");
}

TEST_F(KillPrefixWineTest, PrefixNameWithQuoteBlanksAndCommandsIsOnlyAName) {
  std::string odd = dir / "it's a $(touch pwned) `touch pwned2`; touch pwned3 prefix";
  wine::TestPrefix prefix(odd);
  start_processes(prefix.path());
  std::set<int> before = settled_windows_pids(prefix.path());
  ASSERT_GE(before.size(), 2u) << "Wine did not start in the test prefix";

  ScopedCwd cwd(dir.path());
  std::string err;
  std::string out = kill_and_capture(prefix.path(), &err);
  EXPECT_EQ(err, "");
  expect_all_killed(prefix.path(), before, out);
  for (const char *name : {"pwned", "pwned2", "pwned3"})
    EXPECT_FALSE(exists(dir / name)) << name;
}

} // namespace

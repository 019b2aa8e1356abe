// A generator's output through a captured run into the real log sink: read back
// from the rotated files, oldest first, the records' messages must give back the
// output byte for byte.
#include "debug/capture.hpp"
#include "log/log_sink.hpp"
#include "settings/settings.hpp"
#include "test_support.hpp"
#include "util/shell_quote.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace testsupport;

constexpr char kHeader[] = "NIVRA TEST HEADER\nkernel: test 1.0\n";
constexpr char kPrefix[] = "capture.log";
constexpr int kMaxFiles = 400;

// The messages of one file's records, after its header.
std::vector<std::string> messages_of(const std::string &file, const std::string &name) {
  std::vector<std::string> out;
  EXPECT_EQ(file.compare(0, std::strlen(kHeader), kHeader), 0) << name << " lacks the header";
  const std::string body = file.substr(std::strlen(kHeader));
  if (body.empty())
    return out;
  EXPECT_TRUE(record_starts_at(body, 0)) << name;
  EXPECT_EQ(body.back(), '\n') << name;
  std::vector<std::size_t> starts;
  for (std::size_t at = 0; at < body.size(); at = body.find('\n', at) + 1) {
    if (record_starts_at(body, at))
      starts.push_back(at);
    if (body.find('\n', at) == std::string::npos)
      break;
  }
  starts.push_back(body.size());
  for (std::size_t i = 0; i + 1 < starts.size(); ++i) {
    const std::size_t from = starts[i] + kRecordPrefix;
    out.push_back(body.substr(from, starts[i + 1] - 1 - from)); // without the layout's break
  }
  return out;
}

struct Mode {
  int threads;
  std::vector<std::string> gen_args;
};

void PrintTo(const Mode &m, std::ostream *os) {
  *os << m.threads << " writers, gen_output";
  for (auto &a : m.gen_args)
    *os << " " << a;
}

class Lossless : public testing::TestWithParam<Mode> {
protected:
  void SetUp() override {
    std::memcpy(saved_sys_info_, sys_info, sizeof sys_info);
    std::snprintf(sys_info, sizeof sys_info, "%s", kHeader);
  }
  void TearDown() override {
    std::memcpy(sys_info, saved_sys_info_, sizeof sys_info);
    if (mycat)
      log4c_category_delete(mycat);
    mycat = nullptr;
  }
  char saved_sys_info_[sizeof sys_info];
  TempDir tmp;
};

TEST_P(Lossless, OutputComesBackByteForByte) {
  const Mode mode = GetParam();
  std::vector<std::string> argv = {tool_path("gen_output")};
  argv.insert(argv.end(), mode.gen_args.begin(), mode.gen_args.end());
  ProcResult gen = run_process(argv);
  ASSERT_EQ(gen.status, 0);
  const bool to_stderr = gen.out.empty();
  std::string expected;
  for (char ch : to_stderr ? gen.err : gen.out)
    if (ch) // a record cannot carry a NUL byte
      expected += ch;
  ASSERT_GT(expected.size(), 500000u);
  ASSERT_NE(expected.back(), '\n');
  // The last line has no break of its own; its record ends with the layout's.
  expected += '\n';

  std::string command;
  for (auto &a : argv)
    command += shell_quote::quote(a) + " ";

  CaptureStdout();
  init_log_sink(tmp.path().c_str(), kPrefix, 32 * 1024, kMaxFiles);
  ASSERT_NE(mycat, nullptr);
  CaptureStderr();
  capture::run_captured("", "", command.c_str(), mode.threads);
  std::string out = GetCapturedStdout();
  std::string err = GetCapturedStderr();
  EXPECT_EQ(mycat, nullptr);
  EXPECT_THAT(out, HasSubstr("log4c_api 配置完成\n"));
  EXPECT_THAT(out, HasSubstr("cmdline [WINEDEBUG=  " + command + " 2>&1]\n"));

  int files = 0;
  while (exists(tmp / (std::string(kPrefix) + "." + std::to_string(files))))
    ++files;
  ASSERT_GT(files, 5) << "the test must roll over several files";
  ASSERT_LT(files, kMaxFiles) << "no file may have been deleted";

  std::string rebuilt;
  std::size_t records = 0;
  for (int index = files - 1; index >= 0; --index) {
    const std::string name = tmp / (std::string(kPrefix) + "." + std::to_string(index));
    for (const std::string &m : messages_of(read_file(name), name)) {
      ++records;
      // An over-long line's pieces carry no line break: the next piece continues it.
      ASSERT_FALSE(m.size() == 513 && m.find('\n') == 512) << "record " << records;
      const bool piece = m.size() == 512 && m.find('\n') == std::string::npos;
      rebuilt += piece ? m : m + "\n";
    }
  }
  ASSERT_EQ(rebuilt.size(), expected.size());
  EXPECT_TRUE(rebuilt == expected)
      << "first difference at byte "
      << std::mismatch(rebuilt.begin(), rebuilt.end(), expected.begin()).first - rebuilt.begin();
}

INSTANTIATE_TEST_SUITE_P(
    Modes, Lossless,
    testing::Values(Mode{0, {"--seed", "11", "--lines", "700"}},
                    Mode{1, {"--seed", "12", "--lines", "700"}},
                    Mode{3, {"--seed", "13", "--lines", "700"}},
                    Mode{64, {"--seed", "14", "--lines", "700"}},
                    Mode{0, {"--seed", "15", "--lines", "700", "--stderr", "--nul"}},
                    Mode{4, {"--seed", "16", "--lines", "700", "--stderr", "--nul"}},
                    // Short reads and pauses, with batches cut by the pauses and the end.
                    Mode{0, {"--seed", "17", "--lines", "700", "--line-by-line"}},
                    Mode{1, {"--seed", "18", "--lines", "700", "--line-by-line"}}),
    [](const testing::TestParamInfo<Mode> &info) {
      std::string name = info.param.threads ? std::to_string(info.param.threads) + "Writers"
                                            : std::string("Direct");
      const auto &args = info.param.gen_args;
      if (std::find(args.begin(), args.end(), "--nul") != args.end())
        name += "FromStderrWithNul";
      if (std::find(args.begin(), args.end(), "--line-by-line") != args.end())
        name += "LineByLine";
      return name;
    });

} // namespace

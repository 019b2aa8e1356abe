#include "debug/debug_cmdline.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct Composed {
  std::string text;
  bool fitted;
};

Composed compose(const std::string &launcher, const std::vector<std::string> &args) {
  std::vector<const char *> argv;
  for (const auto &a : args)
    argv.push_back(a.c_str());
  argv.push_back(nullptr);
  char buf[debug_cmdline::kSize];
  std::memset(buf, 'X', sizeof buf);
  bool fitted = debug_cmdline::compose(buf, launcher.c_str(), argv.data());
  return {buf, fitted};
}

TEST(IsWindowsPath, DriveLetterBounds) {
  struct Case {
    const char *text;
    int expected;
  };
  for (const Case &c : std::vector<Case>{{nullptr, 0},
                                         {"", 0},
                                         {"c", 0},
                                         {"c:", 1},
                                         {"C:\\Program Files\\a.exe", 1},
                                         {"b:", 1},
                                         {"B:", 1},
                                         {"y:\\x", 1},
                                         {"Y:", 1},
                                         {"a:", 0},
                                         {"A:\\x", 0},
                                         {"z:", 0},
                                         {"Z:\\home\\u\\a.exe", 0},
                                         {"1:", 0},
                                         {"@:", 0},
                                         {"[:", 0},
                                         {"`:", 0},
                                         {"{:", 0},
                                         {"cc:", 0},
                                         {":c", 0},
                                         {"/c:", 0}})
    EXPECT_EQ(is_windows_path(c.text), c.expected) << (c.text ? c.text : "(null)");
}

TEST(DebugCmdline, Composition) {
  struct Case {
    std::vector<std::string> args;
    std::string expected;
  };
  // The launcher path is quoted like any other word that holds a blank.
  const std::string wine = "/opt/wine dir/bin/wine";
  const std::string head = " '" + wine + "'";
  for (const Case &c : std::vector<Case>{
           {{}, head},
           {{"C:\\Program Files\\App\\a.exe", "-x"},
            head + " \"C:\\Program Files\\App\\a.exe\" -x"},
           {{"c:\\a b.exe"}, head + " \"c:\\a b.exe\""},
           {{"Z:\\home\\u\\a b.exe", "a:\\x", "A:y", "z:w"},
            head + " 'Z:\\home\\u\\a b.exe' 'a:\\x' A:y z:w"},
           // Double quotes would not keep these drive paths as they are.
           {{"D:\\say \"hi\".exe", "it's"}, head + " 'D:\\say \"hi\".exe' 'it'\\''s'"},
           {{"C:\\$Recycle.Bin", "C:\\dir\\", "C:\\\\srv"},
            head + " 'C:\\$Recycle.Bin' 'C:\\dir\\' 'C:\\\\srv'"},
           {{"", "b"}, head + " '' b"},
           // Only what the shell would split, expand or reject is quoted.
           {{"a\\b", "$HOME", "two  blanks", "report $(touch /tmp/x).txt", "a;touch /tmp/y"},
            head + " 'a\\b' '$HOME' 'two  blanks' 'report $(touch /tmp/x).txt' 'a;touch /tmp/y'"},
           {{"/c", "echo", "--opt=val", "~x", "a=~", "文件.txt", "`id`", "*.exe"},
            head + " /c echo --opt=val '~x' 'a=~' 文件.txt '`id`' '*.exe'"},
           // Bytes that are not UTF-8 come from printf; the text around them is quoted.
           {{"\xb1\xa8 $HOME.txt", "~\xff%s\\"},
            head + " \"$(printf '\\261\\250')\"' $HOME.txt' '~'\"$(printf '\\377')\"'%s\\'"},
       }) {
    Composed got = compose(wine, c.args);
    EXPECT_EQ(got.text, c.expected);
    EXPECT_TRUE(got.fitted);
  }
}

TEST(DebugCmdline, CutAt1022Bytes) {
  const std::string wine = "/usr/bin/wine";
  const std::string head = " " + wine + " ";

  // Exactly 1022 bytes still fit whole.
  std::string fits(1022 - head.size(), 'f');
  Composed got = compose(wine, {fits});
  EXPECT_EQ(got.text, head + fits);
  EXPECT_TRUE(got.fitted);

  // One byte more is cut, and nothing after the cut piece is appended.
  got = compose(wine, {fits + "g", "after"});
  EXPECT_EQ(got.text, head + fits);
  EXPECT_FALSE(got.fitted);

  // A piece that starts past the limit is dropped whole.
  got = compose(wine, {fits, "next"});
  EXPECT_EQ(got.text, head + fits);
  EXPECT_FALSE(got.fitted);

  // A quoted drive path loses its closing quote and tail at the cut.
  std::string drive = "C:\\" + std::string(2000, 'd');
  got = compose(wine, {"-a", drive, "-b"});
  ASSERT_EQ(got.text.size(), 1022u);
  EXPECT_EQ(got.text, (head + "-a \"" + drive).substr(0, 1022));
  EXPECT_FALSE(got.fitted);

  // An over-long launcher path is cut too; the arguments never appear.
  std::string long_wine = "/" + std::string(1500, 'w');
  got = compose(long_wine, {"prog.exe"});
  EXPECT_EQ(got.text, (" " + long_wine).substr(0, 1022));
}

TEST(DebugCmdline, CutNeverSplitsAUtf8Character) {
  const std::string wine = "/usr/bin/wine";
  const std::string head = " " + wine + " ";
  const std::string zh = "文"; // three bytes
  for (std::size_t room : {2u, 1u, 0u}) {
    // The limit falls 2, 1 or 0 bytes into the first Chinese character.
    std::string arg(1022 - head.size() - room, 'p');
    std::string text = arg;
    while (text.size() < 1100)
      text += zh;
    Composed got = compose(wine, {text});
    EXPECT_FALSE(got.fitted);
    EXPECT_EQ(got.text, head + arg) << room;
  }

  // With room for whole characters they are kept up to the last complete one.
  std::string arg(1022 - head.size() - 7, 'p');
  std::string text = arg;
  while (text.size() < 1100)
    text += zh;
  Composed got = compose(wine, {text});
  EXPECT_EQ(got.text, head + arg + zh + zh);
}

} // namespace

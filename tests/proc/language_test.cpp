// The window in the user's language: the real program with the build tree's catalogue, its
// main window and debug dialog read through the widget tree, in each locale of a table.
#include "test_support.hpp"

#include <glib.h>

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <sstream>

using namespace testsupport;

namespace {

bool has_chinese(const std::string &text) {
  for (const char *p = text.c_str(); *p; p = g_utf8_next_char(p)) {
    gunichar c = g_utf8_get_char(p);
    if (g_unichar_get_script(c) == G_UNICODE_SCRIPT_HAN || (c >= 0x3000 && c <= 0x303f) ||
        (c >= 0xff00 && c <= 0xffef))
      return true;
  }
  return false;
}

std::vector<std::string> lines(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    out.push_back(line);
  return out;
}

// Every visible text and accessible name is English where a catalogue says so and the
// sources' Chinese elsewhere; what the program prints is the same in every locale.
TEST(WindowLanguage, EnglishFromTheCatalogueChineseWithoutOneAndPrintedLinesAlike) {
  SKIP_WITHOUT_DISPLAY();
  TempDir dir;
  write_launcher(dir / "launcher", {{"--version", "echo wine-9.9"}, {"*", "echo \"ran $*\""}});
  make_dirs(dir / "prefix");
  write_file(dir / "prefix/user.reg",
             "[Control Panel\\\\Desktop] 1\n\"LogPixels\"=dword:00000090\n");
  using Env = std::map<std::string, std::optional<std::string>>;
  const struct {
    const char *name;
    Env env;
    bool english;
  } rows[] = {
      {"C", {{"LC_ALL", "C"}}, false}, // the reference: gettext translates nothing in C
      {"C.UTF-8", {{"LC_ALL", "C.UTF-8"}}, false},
      {"zh_CN.UTF-8", {{"LC_ALL", "zh_CN.UTF-8"}}, false},
      {"LANG=en_US.UTF-8", {{"LC_ALL", std::nullopt}, {"LANG", "en_US.UTF-8"}}, true},
      {"LANGUAGE=en before zh_CN.UTF-8", {{"LC_ALL", "zh_CN.UTF-8"}, {"LANGUAGE", "en"}}, true},
      // Chinese listed first wins, though English has a catalogue and Chinese needs none.
      {"LANGUAGE=zh_CN:en", {{"LC_ALL", "zh_CN.UTF-8"}, {"LANGUAGE", "zh_CN:en"}}, false},
      {"LANGUAGE=zh_TW:en under en_US",
       {{"LC_ALL", "en_US.UTF-8"}, {"LANGUAGE", "zh_TW:en"}},
       false},
  };
  ProcResult reference;
  std::vector<std::string> reference_texts;
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    for (const auto &[var, value] : row.env) {
      locale_t made = value && var != "LANGUAGE" ? newlocale(LC_ALL_MASK, value->c_str(), 0) : 0;
      if (value && var != "LANGUAGE" && !made)
        FAIL() << "locale " << *value << " is missing: scripts/install-deps.sh makes it";
      if (made)
        freelocale(made);
    }
    ProcOptions o;
    o.env = row.env;
    o.env["HOME"] = dir / "home";
    o.env["WINEPREFIX"] = dir / "prefix";
    o.env["WINE_APP"] = dir / "launcher";
    o.env["NO_AT_BRIDGE"] = "1";
    // A desktop that scales by two, so that the DPI row shows its suggestion too.
    o.env["GDK_SCALE"] = "2";
    o.env["NIVRA_TEXTS"] = dir / "texts";
    o.timeout_s = 60;
    ProcResult r = run_process({tool_path("window_texts"), "prog.exe", "a b"}, o);
    ASSERT_EQ(r.status, 0) << r.err;
    auto texts = lines(read_file(dir / "texts"));
    if (reference_texts.empty()) {
      reference = r;
      reference_texts = texts;
      ASSERT_GT(texts.size(), 40u);
      EXPECT_TRUE(has_chinese(read_file(dir / "texts")));
      EXPECT_THAT(texts, testing::Contains("label\t建议 192"));
      EXPECT_THAT(r.out, HasSubstr("ran prog.exe a b\n保存的位置: 无\n")) << "the run printed";
      continue;
    }
    EXPECT_EQ(r.out, reference.out);
    EXPECT_EQ(r.err, reference.err);
    ASSERT_EQ(texts.size(), reference_texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
      if (!row.english) {
        EXPECT_EQ(texts[i], reference_texts[i]);
        continue;
      }
      EXPECT_FALSE(has_chinese(texts[i])) << texts[i];
      // The same widget: its kind of text, and the texts without Chinese unchanged.
      EXPECT_EQ(texts[i].substr(0, texts[i].find('\t')),
                reference_texts[i].substr(0, reference_texts[i].find('\t')));
      if (!has_chinese(reference_texts[i])) {
        EXPECT_EQ(texts[i], reference_texts[i]);
      }
    }
  }
}

} // namespace

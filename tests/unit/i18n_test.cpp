#include "test_support.hpp"
#include "util/i18n.hpp"

#include <gtest/gtest.h>

using namespace testsupport;

namespace {

// The build tree's stage has share/locale beside bin/; an installed private folder has not.
TEST(CatalogueDir, ShareLocaleUnderTheProgramsParentFolderElseTheInstalledOne) {
  TempDir dir;
  make_dirs(dir / "stage/share/locale");
  make_dirs(dir / "stage/bin");
  make_dirs(dir / "file/share");
  write_file(dir / "file/share/locale", "");
  const struct {
    std::string exe, want;
  } rows[] = {
      {dir / "stage/bin/nivra-wine-helper", dir / "stage/share/locale"},
      {dir / "lib/nivra-wine-helper/bin/nivra-wine-helper", "/installed"},
      {dir / "file/bin/x", "/installed"}, // a file in the folder's place
      {"/nivra-wine-helper", "/installed"},
      {"", "/installed"}, // the program's path could not be read
  };
  for (const auto &row : rows)
    EXPECT_EQ(i18n::catalogue_dir(row.exe.c_str(), "/installed"), row.want) << row.exe;
}

} // namespace

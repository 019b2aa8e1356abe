#include "report/redact.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using redact::identity;

TEST(Redact, NamesAreReplacedOnlyWhereTheyStandAsThemselvesAndComeBackExactly) {
  struct Case {
    identity who;
    std::string text, expected;
  };
  const identity wine{"wine", {"/home/wine"}, "box"};
  const std::vector<Case> cases = {
      // A name that is a common word: only the paths and the header change.
      {wine, "nodename: box\nrelease: 6.1", "nodename: «HOST»\nrelease: 6.1"},
      {wine, "nodename: boxer", "nodename: boxer"},
      {wine, "/home/wine/.wine/drive_c/users/wine/Temp", "«HOME»/.wine/drive_c/users/«USER»/Temp"},
      {wine, "INFO nivra-wine- Loaded winex11.drv wine-8.0 wineserver /usr/lib/wine/wine64",
       "INFO nivra-wine- Loaded winex11.drv wine-8.0 wineserver /usr/lib/wine/wine64"},
      {wine, "/home/wine-8.0 /home/wine.bak /home/winery /x/home/wine",
       "/home/wine-8.0 /home/wine.bak /home/winery /x/home/wine"},
      {wine, "cd /home/wine; HOME=/home/wine:/media/wine/usb",
       "cd «HOME»; HOME=«HOME»:/media/«USER»/usb"},
      // Windows paths: either slash, Wine's escaped form, quoted, any case of "users".
      {wine, "L\"C:\\\\users\\\\wine\\\\Desktop\" C:/Users/wine 'c:\\users\\wine'",
       "L\"C:\\\\users\\\\«USER»\\\\Desktop\" C:/Users/«USER» 'c:\\users\\«USER»'"},
      {wine, "L\"users\\\\wine\\\\Desktop\" not found; users/wine; my-users/wine",
       "L\"users\\\\«USER»\\\\Desktop\" not found; users/«USER»; my-users/wine"},
      {wine, "C:\\users\\winehq C:\\users\\Public D:\\users\\wine\\x X:users\\wine",
       "C:\\users\\winehq C:\\users\\Public D:\\users\\«USER»\\x X:users\\«USER»"},
      {wine, "L\"\\\\??\\\\unix\\\\home\\\\wine\\\\a\" Z:\\home\\wine\\b",
       "L\"\\\\??\\\\unix\\\\home\\\\«USER»\\\\a\" Z:\\home\\«USER»\\b"},
      // One letter, and names with characters that mean something to a regex.
      {{"a", {"/home/a"}, "h"},
       "a /home/a/a.txt C:\\users\\a a.b",
       "a «HOME»/a.txt C:\\users\\«USER» a.b"},
      {{"j.d+(x)", {"/srv/j.d+(x)"}, "h"},
       "/srv/jxd+(x) /srv/j.d+(x)/f C:\\users\\j.d+(x)",
       "/srv/jxd+(x) «HOME»/f C:\\users\\«USER»"},
      // A home of "/" is left alone; the user folder under /home still goes.
      {{"user", {"/"}, "h"},
       "/ /usr/bin /home/user/x /users/user",
       "/ /usr/bin /home/«USER»/x /users/user"},
      // Two homes, a trailing slash, and literal marks in the log.
      {{"u", {"/tmp/t/h/", "/home/u"}, "h"},
       "/tmp/t/h/x /home/u «HOME» ««",
       "«HOME»/x «HOME2» ««HOME» ««««"},
  };
  for (const Case &c : cases) {
    redact::redactor r(c.who);
    const std::string out = r(c.text);
    EXPECT_EQ(out, c.expected) << c.text;
    EXPECT_EQ(redact::restore(out, c.who), c.text) << c.text;
  }
}

} // namespace

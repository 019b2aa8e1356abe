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
  const identity mossy{"wine", {"/home/wine"}, "mossy-hollow"};
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
       "/tmp/t/h/x /home/u «HOME» «« «HOST:UPPER:15»",
       "«HOME»/x «HOME2» ««HOME» «««« ««HOST:UPPER:15»"},
      // What cmd /c set prints under Wine, with Windows line ends kept.
      {mossy,
       "HOMEPATH=\\users\\wine\r\nUSER=wine\r\nUSERNAME=wine\r\nLOGNAME=wine\r\n"
       "WINEUSERNAME=wine\r\nMAIL=/var/mail/wine\r\nMY_USER=wine\r\nUSER=wine-8\r\n"
       "COMPUTERNAME=MOSSY-HOLLOW\r\nUSERDOMAIN=MOSSY-HOLLOW\r\nLOGONSERVER=\\\\MOSSY-HOLLOW\r\n"
       "WINEHOMEDIR=\\??\\Z:\\home\\wine\r\n",
       "HOMEPATH=\\users\\«USER»\r\nUSER=«USER»\r\nUSERNAME=«USER»\r\nLOGNAME=«USER»\r\n"
       "WINEUSERNAME=«USER»\r\nMAIL=/var/mail/«USER»\r\nMY_USER=wine\r\nUSER=wine-8\r\n"
       "COMPUTERNAME=«HOST:UPPER»\r\nUSERDOMAIN=«HOST:UPPER»\r\nLOGONSERVER=\\\\«HOST:UPPER»\r\n"
       "WINEHOMEDIR=\\??\\Z:\\home\\«USER»\r\n"},
      // hostname.exe's line, alone or as a record; the host in a UNC path, a URL, quotes.
      {mossy,
       "MOSSY-HOLLOW\r\n20261209 04:33:49.597 INFO     nivra-wine- mossy-hollow\r\n"
       "L\"\\\\\\\\Mossy-hollow\\\\IPC$\" smb://wine@mossy-hollow/x \"MOSSY-HOLLOW\" "
       "mossy-hollows\n"
       "SESSION_MANAGER=local/mossy-hollow:@/tmp/.ICE-unix/9,unix/mossy-hollow:/tmp/.ICE-unix/9\n",
       "«HOST:UPPER»\r\n20261209 04:33:49.597 INFO     nivra-wine- «HOST»\r\n"
       "L\"\\\\\\\\«HOST:Title»\\\\IPC$\" smb://wine@«HOST»/x \"«HOST:UPPER»\" mossy-hollows\n"
       "SESSION_MANAGER=local/«HOST»:@/tmp/.ICE-unix/9,unix/«HOST»:/tmp/.ICE-unix/9\n"},
      // Wine's traces share the pipe with what the program prints: a name can run into one.
      {mossy,
       "USERNAME=wine00c8:trace:file:NtWriteFile = SUCCESS (12)\nLOGONSERVER=\\\\MOSSY-HOLLOW"
       "00c8:trace:file:x\nMOSSY-HOLLOW0024:0028:warn:file:y\n/home/wine0024:err:z\n"
       "C:\\users\\wine1234.567:0024:fixme:a\nUSERNAME=wine00c8:tracer USERNAME=wine0024\n",
       "USERNAME=«USER»00c8:trace:file:NtWriteFile = SUCCESS (12)\nLOGONSERVER=\\\\«HOST:UPPER»"
       "00c8:trace:file:x\n«HOST:UPPER»0024:0028:warn:file:y\n«HOME»0024:err:z\n"
       "C:\\users\\«USER»1234.567:0024:fixme:a\nUSERNAME=wine00c8:tracer USERNAME=wine0024\n"},
      // Windows paths in any letter case; Unix paths only as they are.
      {mossy,
       "C:\\USERS\\WINE C:\\Users\\Wine Z:\\HOME\\WINE\\x z:\\home\\wIne /HOME/WINE /home/Wine",
       "C:\\USERS\\«USER:UPPER» C:\\Users\\«USER:Title» Z:\\HOME\\«USER:UPPER»\\x "
       "z:\\home\\«USER:aAaa» /HOME/WINE /home/Wine"},
      // Percent-encoded paths, and a path relative to a quote in a +file trace.
      {mossy,
       "file%3A%2F%2F%2Fhome%2Fwine%2Fa uri=%2fhome%2fwine%2f %2Fhome%2Fwinex "
       "L\"home\\\\wine\\\\cmd\" not found",
       "file%3A%2F%2F%2Fhome%2F«USER»%2Fa uri=%2fhome%2f«USER»%2f %2Fhome%2Fwinex "
       "L\"home\\\\«USER»\\\\cmd\" not found"},
      // A long host is Windows's computer name in its first 15 bytes; a dotted one up to the dot.
      {{"u", {"/home/u"}, "mossy-hollow-long-hostname.example"},
       "COMPUTERNAME=MOSSY-HOLLOW-LO\r\nMOSSY-HOLLOW-LO\r\nnodename: "
       "mossy-hollow-long-hostname.example\n",
       "COMPUTERNAME=«HOST:UPPER:15»\r\n«HOST:UPPER:15»\r\nnodename: «HOST»\n"},
      // Names that are common words: only where they stand as the name.
      {{"file", {"/home/file"}, "vm"},
       "0024:trace:file:NtCreateFile L\"\\\\??\\\\C:\\\\users\\\\file\\\\a.txt\" a file named x "
       "/home/filed/ /home/file/x file.txt USER=file\r\nVM\r\nvm\nkvm vmlinuz vm.max_map_count\n",
       "0024:trace:file:NtCreateFile L\"\\\\??\\\\C:\\\\users\\\\«USER»\\\\a.txt\" a file named x "
       "/home/filed/ «HOME»/x file.txt USER=«USER»\r\n«HOST:UPPER»\r\n«HOST»\nkvm vmlinuz "
       "vm.max_map_count\n"},
      {{"user", {"/home/user"}, "vm.example.com"},
       "USERNAME=user\r\nUSERPROFILE=C:\\users\\user\r\nusers user USER\r\nCOMPUTERNAME=VM\r\n",
       "USERNAME=«USER»\r\nUSERPROFILE=C:\\users\\«USER»\r\nusers user "
       "USER\r\nCOMPUTERNAME=«HOST:UPPER:2»\r\n"},
      {{"a", {"/home/a"}, "vm"},
       "USER=a a /home/a/a.txt HOMEPATH=\\users\\A\r\nLOGONSERVER=\\\\VM\r\n",
       "USER=«USER» a «HOME»/a.txt "
       "HOMEPATH=\\users\\«USER:UPPER»\r\nLOGONSERVER=\\\\«HOST:UPPER»\r\n"},
  };
  for (const Case &c : cases) {
    redact::redactor r(c.who);
    const std::string out = r(c.text);
    EXPECT_EQ(out, c.expected) << c.text;
    EXPECT_EQ(redact::restore(out, c.who), c.text) << c.text;
  }
}

} // namespace

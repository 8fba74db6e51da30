// WhyNameIsRefused: the names the updater would refuse, or that Windows
// cannot hold, and those it takes.
#include "tools/publish/ListName.h"

#include <gtest/gtest.h>

#include <string>

namespace varo::publish {
namespace {

TEST(ListNameTest, NamesEveryUpdaterTakesPass) {
  const std::string cases[] = {
      "a.dll",
      "Game Center.exe",
      "\xE6\xB8\xB8\xE6\x88\x8F.exe",
      ".hidden",
      "a..b",
      "x&y%z#1.txt",
      "CONSOLE.txt",
      "COM10",
      "nul1",
      "LPT",
      "com\xC2\xB9x",
      "'quoted'",
      "~tilde",
      "tab-less",
  };
  for (const std::string& name : cases) {
    EXPECT_EQ(WhyNameIsRefused(name), std::nullopt) << name;
  }
}

TEST(ListNameTest, NamesTheUpdaterOrWindowsRefuseAreRefused) {
  const std::string cases[] = {
      "",
      ".",
      "..",
      "a:b",
      "stream.txt:hidden",
      "a<b",
      "a>b",
      "say\"hi\"",
      "pipe|d",
      "what?",
      "star*",
      "back\\slash",
      "line\nbreak",
      std::string("nul\0byte", 8),
      "\x1F",
      "CON",
      "con.txt",
      "Nul.tar.gz",
      "aux ",
      "AUX .txt",
      "COM1",
      "lpt9.log",
      "COM\xC2\xB9",
      "CONIN$",
      "conout$.dat",
      "trailing.",
      "trailing ",
      "\xFF.bin",
      "\xC3",                 // cut short
      "\xC0\xAF",             // overlong '/'
      "\xED\xA0\x80",         // a surrogate
      "\xF4\x90\x80\x80",     // beyond U+10FFFF
      "bad\xEF\xBF\xBF.txt",  // U+FFFF, which XML cannot carry
  };
  for (const std::string& name : cases) {
    EXPECT_NE(WhyNameIsRefused(name), std::nullopt) << Printable(name);
  }
}

TEST(ListNameTest, PrintableEscapesWhatIsNoTextAndKeepsTheRest) {
  EXPECT_EQ(Printable("\xE6\xB8\xB8.exe"), "\xE6\xB8\xB8.exe");
  EXPECT_EQ(Printable("a\xFF"
                      "b"),
            "a\\xFFb");
  EXPECT_EQ(Printable("a\nb\x7F"), "a\\x0Ab\\x7F");
  EXPECT_EQ(Printable("\xE6\xB8"), "\\xE6\\xB8");
}

}  // namespace
}  // namespace varo::publish

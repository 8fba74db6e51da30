// PercentEncode, JoinUrl and IsUsableBaseUrl: the URLs of a list's entries.
#include "tools/publish/UrlPath.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace varo::publish {
namespace {

TEST(UrlPathTest, AllButUnreservedCharactersArePercentEncodedByteByByte) {
  const struct {
    std::string Text;
    const char* Encoded;
  } cases[] = {
      {"AZaz09-._~", "AZaz09-._~"},
      {"a b", "a%20b"},
      {"a+b&c=d?e#f", "a%2Bb%26c%3Dd%3Fe%23f"},
      {"100%", "100%25"},
      {"a/b\\c", "a%2Fb%5Cc"},
      {"'()!*$,;@[]", "%27%28%29%21%2A%24%2C%3B%40%5B%5D"},
      {"\xE6\xB8\xB8\xE6\x88\x8F.exe", "%E6%B8%B8%E6%88%8F.exe"},
      {"\x7F", "%7F"},
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PercentEncode(c.Text), c.Encoded) << c.Text;
  }
}

TEST(UrlPathTest, NamesAreJoinedWithOneSlash) {
  const std::vector<std::string> names = {"Data Files", "a#1.bin"};
  EXPECT_EQ(JoinUrl("http://h/r", names), "http://h/r/Data%20Files/a%231.bin");
  EXPECT_EQ(JoinUrl("http://h/r/", names), "http://h/r/Data%20Files/a%231.bin");
  EXPECT_EQ(JoinUrl("http://h", {"a"}), "http://h/a");
}

TEST(UrlPathTest, OnlyPlainHttpAddressesAreUsableBases) {
  const struct {
    const char* Url;
    bool Usable;
  } cases[] = {
      {"http://updates.example.com/release", true},
      {"https://updates.example.com/release/", true},
      {"HTTP://Example.com:8080/a/b", true},
      {"http://127.0.0.1", true},
      {"ftp://example.com/", false},
      {"updates.example.com/release", false},
      {"http://", false},
      {"http:///path", false},
      {"http://example.com/a b", false},
      {"http://example.com/?x=1", false},
      {"http://example.com/#top", false},
      {"http://example.com/\xE6\xB8\xB8", false},
      {"http://example.com/\t", false},
      {"", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsUsableBaseUrl(c.Url), c.Usable) << c.Url;
  }
}

}  // namespace
}  // namespace varo::publish

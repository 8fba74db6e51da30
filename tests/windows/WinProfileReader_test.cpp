// platform::ReadProfileString on Windows: the profile rules, UTF-8 text in
// files and names, the cut to the capacity, and what counts as missing.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <string>

#include "common/Utf8Path.h"
#include "platform/Profile.h"
#include "support/TempDir.h"

namespace varo::platform {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMiB = 1u << 20;

class WinProfileReaderTest : public ::testing::Test {
 protected:
  fs::path File() const { return Dir / "profile.ini"; }
  test::TempDir Dir;
};

TEST_F(WinProfileReaderTest, FollowsTheProfileRules) {
  const struct {
    const char* What;
    std::string Content;
    const char* Section;
    const char* Key;
    std::string Expected;
  } cases[] = {
      {"plain", "[s]\nkey=value\n", "s", "key", "value"},
      {"names without regard to case", "[UpdateServer]\nServer1=a\n", "updateSERVER", "SERVER1",
       "a"},
      {"blanks around names and values", "[ s ]\n \t key \t = \t two words \t \n", "s", "key",
       "two words"},
      {"Windows line ends", "[s]\r\nkey=value\r\nother=x\r\n", "s", "key", "value"},
      {"a byte-order mark", "\xEF\xBB\xBF[s]\nkey=value\n", "s", "key", "value"},
      {"double quotes", "[s]\nkey=\" padded \"\n", "s", "key", " padded "},
      {"single quotes", "[s]\nkey='quoted'\n", "s", "key", "quoted"},
      {"unmatched quotes stay", "[s]\nkey=\"open'\n", "s", "key", "\"open'"},
      {"an empty value", "[s]\nkey=\nother=x\n", "s", "key", ""},
      {"the first key of a name", "[s]\nkey=1\nkey=2\n", "s", "key", "1"},
      {"the first section of a name", "[s]\na=1\n[t]\nkey=t\n[s]\nkey=2\n", "s", "key", "fallback"},
      {"a key in another section", "[t]\nkey=t\n[s]\nother=x\n", "s", "key", "fallback"},
      {"a key before any section", "key=none\n[s]\n", "s", "key", "fallback"},
      {"a commented key", "[s]\n;key=no\n", "s", "key", "fallback"},
      {"a missing section", "[t]\nkey=t\n", "s", "key", "fallback"},
      {"an empty file", "", "s", "key", "fallback"},
      {"Chinese text", "[更新]\n服务器=http://例子.cn/列表.xml\n", "更新", "服务器",
       "http://例子.cn/列表.xml"},
      {"Chinese text with a byte-order mark and Windows line ends",
       "\xEF\xBB\xBF[UpdateServer]\r\nserver1=更新服务器\r\n", "UpdateServer", "server1",
       "更新服务器"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    test::WriteFile(File(), c.Content);
    EXPECT_EQ(ReadProfileString(File(), c.Section, c.Key, "fallback", 512), c.Expected);
  }
}

TEST_F(WinProfileReaderTest, AFileNamedInChineseIsFound) {
  const fs::path file = Dir / PathFromUtf8("配置.ini");
  test::WriteFile(file, "[s]\nkey=值\n");
  EXPECT_EQ(ReadProfileString(file, "s", "key", "fallback", 512), "值");
}

TEST_F(WinProfileReaderTest, ValuesAreCutToCapacityInCharacters) {
  const struct {
    const char* What;
    std::string Value;
    std::size_t Capacity;
    std::string Expected;
  } cases[] = {
      {"600 ASCII characters", std::string(600, 'a'), 512, std::string(511, 'a')},
      {"600 Chinese characters",
       [] {
         std::string text;
         for (int i = 0; i < 600; ++i) {
           text += "中";
         }
         return text;
       }(),
       512,
       [] {
         std::string text;
         for (int i = 0; i < 511; ++i) {
           text += "中";
         }
         return text;
       }()},
      {"exactly capacity - 1", std::string(511, 'b'), 512, std::string(511, 'b')},
      {"capacity 1 leaves nothing", "abc", 1, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    test::WriteFile(File(), "[s]\nkey=" + c.Value + "\n");
    EXPECT_EQ(ReadProfileString(File(), "s", "key", "", c.Capacity), c.Expected);
    EXPECT_EQ(ReadProfileString(File(), "s", "other", c.Value, c.Capacity), c.Expected)
        << "the fallback is cut alike";
  }
}

TEST_F(WinProfileReaderTest, OnlyFilesUpTo1MiBAreRead) {
  const std::string head = "[s]\nkey=value\n";
  for (const std::size_t size : {kMiB, kMiB + 1}) {
    SCOPED_TRACE(size);
    // The value comes first; comment lines fill the rest of the file.
    std::string content = head;
    while (content.size() < size) {
      content += ";" + std::string(std::min<std::size_t>(size - content.size(), 999) - 1, ' ');
      content.back() = '\n';
    }
    ASSERT_EQ(content.size(), size);
    test::WriteFile(File(), content);
    EXPECT_EQ(ReadProfileString(File(), "s", "key", "fallback", 100),
              size <= kMiB ? "value" : "fallback");
  }
  fs::create_directory(Dir / "folder");
  for (const fs::path& path : {Dir / "folder", Dir / "missing", fs::path("NUL"), fs::path("CON")}) {
    SCOPED_TRACE(path.string());
    EXPECT_EQ(ReadProfileString(path, "s", "key", "fallback", 100), "fallback");
  }
}

}  // namespace
}  // namespace varo::platform

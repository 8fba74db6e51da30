// platform::ReadProfileString: how values are cut to the capacity, and which
// files count as missing. (The profile rules for names, blanks and sections
// are tested through the server list in tests/catalogue/CServers_test.cpp.)

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <string>

#include "platform/Profile.h"
#include "support/TempDir.h"

namespace varo::platform {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMiB = 1u << 20;

// Bytes as hexadecimal, so that a failure shows where invalid text was cut.
std::string Hex(const std::string& text) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    out += kDigits[byte >> 4];
    out += kDigits[byte & 0xF];
    out += ' ';
  }
  return out;
}

class ProfileReaderTest : public ::testing::Test {
 protected:
  fs::path File() const { return Dir / "profile.ini"; }
  test::TempDir Dir;
};

TEST_F(ProfileReaderTest, ValuesAreCutToCapacityInCharactersAndInBytes) {
  const std::string lone(20, '\x80');  // continuation bytes: no character at all
  const struct {
    const char* What;
    std::string Value;
    std::size_t Capacity;
    std::string Expected;
  } cases[] = {
      {"ASCII", "abcdef", 4, "abc"},
      {"fits", "abc", 4, "abc"},
      {"capacity 1 leaves nothing", "abc", 1, ""},
      {"capacity 0 leaves nothing", "abc", 0, ""},
      {"three-byte characters", "中文字符", 4, "中文字"},
      {"four-byte characters cut in bytes between characters", "😀😀😀😀", 4, "😀😀"},
      {"only continuation bytes", lone, 4, std::string(9, '\x80')},
      {"one character followed by continuation bytes", "a" + lone, 4, "a" + std::string(8, '\x80')},
      {"cut before a character where one starts", std::string(8, '\x80') + "中", 4,
       std::string(8, '\x80')},
      {"long invalid value", std::string(5000, '\x80'), 512,
       std::string(std::size_t{511} * 3, '\x80')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    test::WriteFile(File(), "[s]\nkey=" + c.Value + "\n");
    const std::string value = ReadProfileString(File(), "s", "key", "", c.Capacity);
    EXPECT_EQ(Hex(value), Hex(c.Expected));
    const std::string fallback = ReadProfileString(File(), "s", "other", c.Value, c.Capacity);
    EXPECT_EQ(Hex(fallback), Hex(c.Expected)) << "the fallback is cut alike";
  }
}

TEST_F(ProfileReaderTest, FilesUpTo1MiBAreRead) {
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
}

// A FIFO without a writer would block a plain open() for ever; /dev/zero
// would never end.
TEST_F(ProfileReaderTest, WhatIsNoRegularFileCountsAsMissing) {
  fs::create_directory(Dir / "folder");
  ASSERT_EQ(::mkfifo((Dir / "fifo").c_str(), 0600), 0);
  fs::create_symlink("/dev/zero", Dir / "zero");
  for (const char* name : {"folder", "fifo", "zero", "missing"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(ReadProfileString(Dir / name, "s", "key", "fallback", 100), "fallback");
  }
}

}  // namespace
}  // namespace varo::platform

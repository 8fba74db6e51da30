// platform::ReadRegularFile: whole regular files up to a bound, and nothing
// (without blocking or reading without end) for anything else.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/RegularFile.h"
#include "support/TempDir.h"

namespace varo::platform {
namespace {

namespace fs = std::filesystem;

class RegularFileTest : public ::testing::Test {
 protected:
  test::TempDir Dir;
};

TEST_F(RegularFileTest, RegularFilesUpToTheBoundAreReadWhole) {
  const struct {
    const char* What;
    std::size_t Size;
    std::size_t MaxBytes;
    bool Read;
  } cases[] = {
      {"empty, bound 0", 0, 0, true},
      {"one byte, bound 0", 1, 0, false},
      {"well below the bound", 10, 1000, true},
      {"exactly the bound", 1000, 1000, true},
      {"one byte over the bound", 1001, 1000, false},
      {"larger than one read step", 300'000, 300'000, true},
      {"far over the bound", 300'000, 10, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    std::string content(c.Size, '\0');
    for (std::size_t i = 0; i < c.Size; ++i) {
      content[i] = static_cast<char>('a' + i % 26);
    }
    test::WriteFile(Dir / "file", content);
    const auto read = ReadRegularFile(Dir / "file", c.MaxBytes);
    if (c.Read) {
      ASSERT_TRUE(read.has_value());
      EXPECT_EQ(*read, content);
    } else {
      EXPECT_FALSE(read.has_value());
    }
  }
}

TEST_F(RegularFileTest, LinksAreFollowedToWhatTheyName) {
  test::WriteFile(Dir / "target", "content");
  fs::create_symlink(Dir / "target", Dir / "link");
  EXPECT_EQ(ReadRegularFile(Dir / "link", 100), std::optional<std::string>("content"));
}

// None of these may block or hand back endless data: a FIFO without a writer
// would hold a blocking open() for ever, /dev/zero never ends.
TEST_F(RegularFileTest, AnythingButARegularFileGivesNothing) {
  fs::create_directory(Dir / "folder");
  ASSERT_EQ(::mkfifo((Dir / "fifo").c_str(), 0600), 0);
  fs::create_symlink("/dev/zero", Dir / "zero");
  fs::create_symlink(Dir / "nowhere", Dir / "dangling");
  for (const char* name : {"folder", "fifo", "zero", "dangling", "missing"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(ReadRegularFile(Dir / name, 1 << 20).has_value());
  }
}

// Files under /proc claim a size of 0 and still have content: the bound
// holds against what arrives, not against what the file claimed.
TEST_F(RegularFileTest, TheBoundHoldsForFilesLargerThanTheyClaim) {
  const fs::path status = "/proc/self/status";
  if (!fs::exists(status) || fs::file_size(status) != 0) {
    GTEST_SKIP() << "no /proc file that claims a size of 0";
  }
  const auto whole = ReadRegularFile(status, 1 << 20);
  ASSERT_TRUE(whole.has_value());
  EXPECT_NE(whole->find("Name:"), std::string::npos);
  EXPECT_FALSE(ReadRegularFile(status, 16).has_value());
}

}  // namespace
}  // namespace varo::platform

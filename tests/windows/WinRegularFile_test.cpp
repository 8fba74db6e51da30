#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "platform/RegularFile.h"
#include "support/TempDir.h"

namespace varo::platform {
namespace {

namespace fs = std::filesystem;

TEST(WinRegularFileTest, SizesAgainstTheCap) {
  const test::TempDir dir;
  struct Case {
    std::size_t Size;
    std::size_t Cap;
    bool Read;
  };
  const Case cases[] = {
      {0, 0, true},           {10, 10, true}, {11, 10, false}, {3 << 20, 3 << 20, true},
      {3 << 20, 1000, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.Size) + " of " + std::to_string(c.Cap));
    const std::string content(c.Size, 'z');
    test::WriteFile(dir / "file", content);
    const auto read = ReadRegularFile(dir / "file", c.Cap);
    ASSERT_EQ(read.has_value(), c.Read);
    if (c.Read) {
      EXPECT_EQ(*read, content);
    }
  }
}

TEST(WinRegularFileTest, WhatIsNoRegularFileIsRefused) {
  const test::TempDir dir;
  fs::create_directory(dir / "folder");
  for (const fs::path& path : {dir / "folder", dir / "missing", fs::path("NUL"), fs::path("CON")}) {
    SCOPED_TRACE(path.string());
    EXPECT_FALSE(ReadRegularFile(path, 1 << 20).has_value());
  }
}

}  // namespace
}  // namespace varo::platform

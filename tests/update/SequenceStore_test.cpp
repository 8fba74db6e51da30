#include "update/SequenceStore.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "support/TempDir.h"

namespace varo {
namespace {

namespace fs = std::filesystem;

class SequenceStoreTest : public ::testing::Test {
 protected:
  test::TempDir Dir;
  const fs::path File = SequenceStore::FileFor(Dir.Path());
  const SequenceStore Store{File};
};

TEST_F(SequenceStoreTest, LivesInTheConfigurationFolder) {
  EXPECT_EQ(File, Dir / "ADImage" / "update.state");
  EXPECT_EQ(Store.File(), File);
}

// Anything but one well-formed line counts as no number seen.
TEST_F(SequenceStoreTest, ReadsOnlyAWellFormedLine) {
  const struct {
    std::string Content;
    std::optional<std::uint64_t> Sequence;
  } cases[]{
      {"sequence 5\n", 5},
      {"sequence 5", 5},
      {"sequence 5\r\n", 5},
      {"sequence 0\n", 0},
      {"sequence 2026121001\n", 2026121001u},
      {"sequence 18446744073709551615\n", UINT64_MAX},
      {"sequence 18446744073709551616\n", std::nullopt},
      {"sequence \n", std::nullopt},
      {"sequence\n", std::nullopt},
      {"Sequence 5\n", std::nullopt},
      {"sequence  5\n", std::nullopt},
      {"sequence 5 \n", std::nullopt},
      {"sequence -5\n", std::nullopt},
      {"sequence 5\n\n", std::nullopt},
      {"sequence 5\nsequence 9\n", std::nullopt},
      {"", std::nullopt},
      {std::string("sequence 5\0", 11), std::nullopt},
      {"sequence " + std::string(100, '1') + "\n", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Content);
    test::WriteFile(File, c.Content);
    EXPECT_EQ(Store.Read(), c.Sequence);
  }
  fs::remove(File);
  EXPECT_EQ(Store.Read(), std::nullopt);
  fs::create_directory(File);
  EXPECT_EQ(Store.Read(), std::nullopt);
}

TEST_F(SequenceStoreTest, RaiseNeverLowersTheStoredNumber) {
  // No configuration folder yet: it is made.
  EXPECT_TRUE(Store.Raise(5));
  EXPECT_EQ(test::ReadFile(File), "sequence 5\n");
  EXPECT_TRUE(Store.Raise(3));
  EXPECT_EQ(Store.Read(), 5u);
  EXPECT_TRUE(Store.Raise(5));
  EXPECT_TRUE(Store.Raise(UINT64_MAX));
  EXPECT_EQ(Store.Read(), UINT64_MAX);
  EXPECT_TRUE(Store.Raise(0));
  EXPECT_EQ(Store.Read(), UINT64_MAX);

  // A garbled store is no number: any is written over it.
  test::WriteFile(File, "sequence 9x\n");
  EXPECT_TRUE(Store.Raise(2));
  EXPECT_EQ(test::ReadFile(File), "sequence 2\n");
  EXPECT_FALSE(fs::exists(fs::path(File).concat(".new")));
}

// Nothing to put the file in place of: the stored state stays as it was and
// nothing is left beside it.
TEST_F(SequenceStoreTest, RaiseThatCannotWriteSaysSo) {
  fs::create_directories(File / "inside");
  EXPECT_FALSE(Store.Raise(1));
  EXPECT_TRUE(fs::is_directory(File / "inside"));
  EXPECT_FALSE(fs::exists(fs::path(File).concat(".new")));

  test::TempDir other;
  test::WriteFile(other / "ADImage", "a file where the folder belongs");
  EXPECT_FALSE(SequenceStore(SequenceStore::FileFor(other.Path())).Raise(1));
}

#ifndef _WIN32
// A link at the store's name (or at the name it is written under first) is
// replaced, never written through.
TEST_F(SequenceStoreTest, RaiseReplacesALinkInsteadOfWritingThroughIt) {
  test::WriteFile(Dir / "victim", "sequence 1\n");
  test::WriteFile(Dir / "other", "untouched");
  fs::create_directories(File.parent_path());
  fs::create_symlink(Dir / "victim", File);
  fs::create_symlink(Dir / "other", fs::path(File).concat(".new"));
  EXPECT_EQ(Store.Read(), 1u);
  EXPECT_TRUE(Store.Raise(4));
  EXPECT_FALSE(fs::is_symlink(File));
  EXPECT_EQ(test::ReadFile(File), "sequence 4\n");
  EXPECT_EQ(test::ReadFile(Dir / "victim"), "sequence 1\n");
  EXPECT_EQ(test::ReadFile(Dir / "other"), "untouched");
}
#endif

}  // namespace
}  // namespace varo

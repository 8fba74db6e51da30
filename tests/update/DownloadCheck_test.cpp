#include "update/DownloadCheck.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/Crypto.h"
#include "support/TempDir.h"

namespace varo {
namespace {

platform::Sha256Digest HashOf(const std::string& text) {
  return platform::Sha256Of({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

TEST(DownloadCheckTest, OnlyAReadableFileWithTheListedContentMatches) {
  test::TempDir dir;
  test::WriteFile(dir / "a.update", "downloaded");
  test::WriteFile(dir / "empty.update", "");
  std::filesystem::create_directory(dir / "folder.update");
  const struct {
    const char* File;
    std::string Listed;
    bool Matches;
  } cases[]{
      {"a.update", "downloaded", true},      {"a.update", "downloadeD", false},
      {"a.update", "downloaded\n", false},   {"empty.update", "", true},
      {"empty.update", "downloaded", false}, {"missing.update", "", false},
      {"folder.update", "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.File) + " [" + c.Listed + "]");
    EXPECT_EQ(MatchesSha256(dir / c.File, HashOf(c.Listed)), c.Matches);
  }
#ifndef _WIN32
  // Never read, so never waited on.
  ASSERT_EQ(::mkfifo((dir / "fifo.update").c_str(), 0600), 0);
  EXPECT_FALSE(MatchesSha256(dir / "fifo.update", HashOf("")));
#endif
}

}  // namespace
}  // namespace varo

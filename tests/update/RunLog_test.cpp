#include "update/RunLog.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <filesystem>
#include <string>

#include "support/TempDir.h"

namespace varo {
namespace {

namespace fs = std::filesystem;

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++count;
  }
  return count;
}

TEST(RunLogTest, RunsFollowEachOtherWithTheirLines) {
  test::TempDir dir;
  const fs::path file = dir / "update.log";
  for (int run = 0; run < 2; ++run) {
    RunLog log(file);
    log.BeginRun("varo-update 0.1.0 run " + std::to_string(run));
    log.Line("list from server1: 3 entries");
    log.Line("two\nlines");
    log.Flush();
  }
  const std::string text = test::ReadFile(file);
  EXPECT_EQ(Count(text, "=== "), 2u);
  EXPECT_LT(text.find("run 0"), text.find("run 1"));
  EXPECT_NE(text.find("list from server1: 3 entries\n"), std::string::npos);
  EXPECT_NE(text.find("two lines\n"), std::string::npos) << "one event, one line";
  EXPECT_NE(text.find("  0.0"), std::string::npos) << "seconds since the run began";
  EXPECT_FALSE(fs::exists(dir / "update.log.new"));
}

TEST(RunLogTest, StaysBelowItsLimitKeepingTheNewestRuns) {
  test::TempDir dir;
  const fs::path file = dir / "update.log";
  constexpr std::size_t kLimit = 4096;
  for (int run = 0; run < 30; ++run) {
    RunLog log(file, kLimit);
    log.BeginRun("run " + std::to_string(run));
    for (int line = 0; line < (run == 29 ? 500 : 5); ++line) {
      log.Line("file" + std::to_string(line) + ".dat: missing, downloaded, 1234 bytes");
    }
    log.Flush();
    EXPECT_LE(fs::file_size(file), kLimit) << "after run " << run;
  }
  const std::string text = test::ReadFile(file);
  EXPECT_EQ(text.find("run 0\n"), std::string::npos) << "the oldest runs went";
  EXPECT_NE(text.find("run 28\n"), std::string::npos);
  EXPECT_NE(text.find("run 29\n"), std::string::npos);
  EXPECT_NE(text.find(" lines left out)\n"), std::string::npos);
  EXPECT_EQ(text.find("=== "), 0u) << "only whole runs are kept";
}

#ifndef _WIN32
TEST(RunLogTest, NeverReadsOrWritesThroughALink) {
  test::TempDir dir;
  fs::create_directories(dir / "ADImage");
  test::WriteFile(dir / "secret.txt", "=== secret of another file\n");
  fs::create_symlink(dir / "secret.txt", dir / "ADImage" / "update.log");
  RunLog log(dir / "ADImage" / "update.log");
  log.BeginRun("run");
  log.Line("event");
  log.Flush();
  EXPECT_EQ(test::ReadFile(dir / "secret.txt"), "=== secret of another file\n");
  EXPECT_FALSE(fs::is_symlink(dir / "ADImage" / "update.log"));
  const std::string text = test::ReadFile(dir / "ADImage" / "update.log");
  EXPECT_EQ(text.find("secret"), std::string::npos);
  EXPECT_NE(text.find("event"), std::string::npos);
}
#endif

TEST(RunLogTest, ALogThatCannotBeWrittenChangesNothing) {
  test::TempDir dir;
  fs::create_directories(dir / "update.log");  // a folder where the file should be
  RunLog log(dir / "update.log");
  log.BeginRun("run");
  log.Line("event");
  log.Flush();
  EXPECT_TRUE(fs::is_directory(dir / "update.log"));
  EXPECT_FALSE(fs::exists(dir / "update.log.new"));
  RunLog missing(dir / "no-such-folder" / "update.log");
  missing.BeginRun("run");
  missing.Flush();
  EXPECT_FALSE(fs::exists(dir / "no-such-folder"));
}

}  // namespace
}  // namespace varo

#include "update/RunLog.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <filesystem>
#include <string>

#include "support/TempDir.h"
#include "support/WholeRun.h"

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

// A whole run writes what a support desk needs, and a log that cannot be
// written changes nothing about the update.
TEST(RunLogTest, AWholeRunSaysWhatHappenedToEachFile) {
  test::WholeRun run;
  run.Server.Serve("/a", "fresh");
  const std::string list =
      "<UpdateList><File><FileName>a.dat</FileName><URL>" + run.Server.Url("/a") +
      "</URL><Length>5</Length></File><File><FileName>b.dat</FileName><URL>" +
      run.Server.Url("/missing") + "</URL><Length>5</Length></File></UpdateList>";
  run.Run(list);
  ASSERT_TRUE(run.Ended);
  const std::string text = test::ReadFile(run.Install / "ADImage" / "update.log");
  const char* const expected[] = {
      "=== ",
      " varo-update ",
      "asking 更新服务器1 for the update list\n",
      "list from 更新服务器1: loaded\n",
      "2 files to download, 10 bytes\n",
      "download a.dat from ",
      "a.dat: downloaded, 5 bytes\n",
      "a.dat: installed\n",
      "b.dat: download failed, code 6, 0 bytes\n",
      "error box: 可能由于网络原因，下载文件失败 [b.dat], 错误代码 [6] \n",
      "run ended: failed: 下载文件失败 [b.dat], 错误代码 [6]\n",
  };
  std::size_t at = 0;
  for (const char* line : expected) {
    const std::size_t found = text.find(line, at);
    ASSERT_NE(found, std::string::npos) << "missing, in order: " << line << "\n" << text;
    at = found;
  }

  // The next run adds its own; one whose log cannot be written updates all
  // the same.
  run.Server.Serve("/missing", "other");
  run.Run(list);
  EXPECT_EQ(Count(test::ReadFile(run.Install / "ADImage" / "update.log"), "=== "), 2u);
  fs::remove(run.Install / "ADImage" / "update.log");
  fs::create_directory(run.Install / "ADImage" / "update.log");
  fs::remove(run.Install / "b.dat");
  run.Run(list);
  EXPECT_TRUE(run.Ended);
  EXPECT_TRUE(run.Boxes.empty());
  EXPECT_EQ(test::ReadFile(run.Install / "b.dat"), "other");
}

}  // namespace
}  // namespace varo

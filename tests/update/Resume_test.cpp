// Whole update runs whose download of a large file is cut off: the next run
// asks the server for the rest only, when the server still has the same
// version, and installs exactly the server's file either way.
#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "app/CDuiFrameWnd.h"
#include "platform/headless/HeadlessDesktop.h"
#include "support/TempDir.h"
#include "support/WholeRun.h"
#include "transfer/CInetFile.h"
#include "transfer/ResumeRecord.h"

namespace varo {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kSize = std::size_t{20} << 20;        // 20 MiB
constexpr std::size_t kCut = kSize / 10 * 6 / 1024 * 1024;  // 60 %, 12582912
const char* const kDate = "Wed, 01 Jan 2025 10:00:00 GMT";

std::string Bytes(std::size_t size, char seed) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    data[i] = static_cast<char>(seed + static_cast<char>(i % 251));
  }
  return data;
}

std::string ListOf(const test::WholeRun& run) {
  return "<UpdateList><File><FileName>big.pak</FileName><URL>" + run.Server.Url("/big.pak") +
         "</URL><Length>" + std::to_string(kSize) + "</Length></File></UpdateList>";
}

// The requests for the file, in order: their Range and If-Range.
std::vector<std::pair<std::string, std::string>> FileRequests(const test::WholeRun& run) {
  std::vector<std::pair<std::string, std::string>> seen;
  for (const auto& request : run.Server.Requests()) {
    if (request.Path == "/big.pak") {
      seen.emplace_back(request.Header("Range"), request.Header("If-Range"));
    }
  }
  return seen;
}

class ResumeTest : public ::testing::Test {
 protected:
  // The first run: the server cuts the body off at 60 %; the run fails on
  // the file and leaves the part and its record.
  void CutRun(const std::string& body, const std::string& etag) {
    Run.Server.ServeRanged("/big.pak", body, etag, kDate, kCut);
    Run.Run(ListOf(Run));
    EXPECT_TRUE(Run.Ended);
    EXPECT_EQ(Run.Boxes,
              std::vector<std::string>{"可能由于网络原因，下载文件失败 [big.pak], 错误代码 [2] "});
    EXPECT_FALSE(fs::exists(Run.Install / "big.pak")) << "a part is never installed";
    EXPECT_EQ(fs::file_size(Side), kCut);
    EXPECT_TRUE(fs::exists(ResumeFileOf(Side)));
  }

  // The second run gets everything and installs it, driven as WholeRun
  // does, with the window at hand to read its counters at the end: the
  // bytes that were already there count as downloaded.
  void FullRun(const std::string& body, const std::string& etag) {
    Run.Server.ServeRanged("/big.pak", body, etag, kDate);
    Run.Server.Serve(test::WholeRun::kListPath, ListOf(Run), 200, "text/xml");
    platform::HeadlessDesktop desktop;
    CDuiFrameWnd frame(desktop, desktop, Run.Install);
    ASSERT_TRUE(desktop.Create(frame, "Varo更新程序"));
    for (int tick = 0; tick < 200 && !desktop.IsDestroyed(); ++tick) {
      desktop.Tick();
      ASSERT_TRUE(desktop.DispatchUntil(
          [&] { return frame.RunningJobs == 0 && desktop.PendingMessages() == 0; }));
    }
    EXPECT_TRUE(desktop.IsDestroyed());
    EXPECT_TRUE(desktop.EventsOf("box").empty());
    EXPECT_EQ(frame.DownloadedBytes, kSize);
    EXPECT_EQ(frame.TotalPercent, 100u);
    EXPECT_EQ(frame.FilePercent, 100u);
    EXPECT_TRUE(test::ReadFile(Run.Install / "big.pak") == body) << "byte for byte";
    EXPECT_FALSE(fs::exists(Side));
    EXPECT_FALSE(fs::exists(ResumeFileOf(Side))) << "no record after the install";
  }

  test::WholeRun Run;
  const fs::path Side = DownloadedFileOf(Run.Install / "big.pak");
};

TEST_F(ResumeTest, TheNextRunAsksForTheRestOnly) {
  const std::string body = Bytes(kSize, 'a');
  CutRun(body, "\"v1\"");
  FullRun(body, "\"v1\"");
  using Asked = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(FileRequests(Run), (Asked{{"", ""}, {"bytes=12582912-", "\"v1\""}}));
}

TEST_F(ResumeTest, ANewVersionOnTheServerIsFetchedWhole) {
  CutRun(Bytes(kSize, 'a'), "\"v1\"");
  const std::string changed = Bytes(kSize, 'b');
  FullRun(changed, "\"v2\"");
  using Asked = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(FileRequests(Run), (Asked{{"", ""}, {"bytes=12582912-", "\"v1\""}}))
      << "asked for the rest; the server answered with its whole new file";
}

TEST_F(ResumeTest, APartOfAnotherListedLengthStartsOver) {
  const std::string body = Bytes(kSize, 'a');
  CutRun(body, "\"v1\"");
  // The record says another length: as if the list had changed since.
  ASSERT_TRUE(
      WriteResumeRecord(ResumeFileOf(Side), {Run.Server.Url("/big.pak"), kSize + 1, "\"v1\""}));
  FullRun(body, "\"v1\"");
  using Asked = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(FileRequests(Run), (Asked{{"", ""}, {"", ""}}));
}

}  // namespace
}  // namespace varo

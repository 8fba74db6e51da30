// Whole update runs whose download of a large file is cut off: the next run
// asks the server for the rest only, when the server still has the same
// version, and installs exactly the server's file either way.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/CDuiFrameWnd.h"
#include "platform/headless/HeadlessDesktop.h"
#include "support/TempDir.h"
#include "support/TestHttpServer.h"
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

// The texts of the boxes a run showed, and the window's counters at its end.
struct RunResult {
  bool Ended = false;
  std::vector<std::string> Boxes;
  std::uint64_t DownloadedBytes = 0;
  std::uint32_t TotalPercent = 0;
  std::uint32_t FilePercent = 0;
};

class ResumeTest : public ::testing::Test {
 protected:
  ResumeTest() {
    test::WriteFile(Install / "ADImage" / "xxxxx_system.ini",
                    "[UpdateServer]\nserver1=" + Server.Url("/Download/Update.xml") + "\n");
  }

  // A whole run on the headless desktop, driven tick by tick to its end,
  // with the window at hand to read its counters afterwards.
  RunResult Run() {
    Server.Serve("/Download/Update.xml",
                 "<UpdateList><File><FileName>big.pak</FileName><URL>" + Server.Url("/big.pak") +
                     "</URL><Length>" + std::to_string(kSize) + "</Length></File></UpdateList>",
                 200, "text/xml");
    platform::HeadlessDesktop desktop;
    CDuiFrameWnd frame(desktop, desktop, Install.Path());
    RunResult result;
    if (!desktop.Create(frame, "Varo更新程序")) {
      ADD_FAILURE() << "no window";
      return result;
    }
    for (int tick = 0; tick < 200 && !desktop.IsDestroyed(); ++tick) {
      desktop.Tick();
      if (!desktop.DispatchUntil([&] { return frame.Idle() && desktop.PendingMessages() == 0; })) {
        break;
      }
    }
    result.Ended = desktop.IsDestroyed();
    for (const auto& box : desktop.EventsOf("box")) {
      result.Boxes.push_back(box.Text);
    }
    result.DownloadedBytes = frame.DownloadedBytes;
    result.TotalPercent = frame.TotalPercent;
    result.FilePercent = frame.FilePercent;
    return result;
  }

  // The requests for the file, in order: their Range and If-Range.
  std::vector<std::pair<std::string, std::string>> FileRequests() const {
    std::vector<std::pair<std::string, std::string>> seen;
    for (const auto& request : Server.Requests()) {
      if (request.Path == "/big.pak") {
        seen.emplace_back(request.Header("Range"), request.Header("If-Range"));
      }
    }
    return seen;
  }

  // The first run: the server cuts the body off at 60 %; the run fails on
  // the file and leaves the part and its record.
  void CutRun(const std::string& body, const std::string& etag) {
    Server.ServeRanged("/big.pak", body, etag, kDate, kCut);
    const RunResult result = Run();
    EXPECT_TRUE(result.Ended);
    EXPECT_EQ(result.Boxes,
              std::vector<std::string>{"可能由于网络原因，下载文件失败 [big.pak], 错误代码 [2] "});
    EXPECT_FALSE(fs::exists(Install / "big.pak")) << "a part is never installed";
    EXPECT_EQ(fs::file_size(Side), kCut);
    EXPECT_TRUE(fs::exists(ResumeFileOf(Side)));
  }

  // The next run gets everything and installs it; the bytes that were
  // already there count as downloaded.
  void FullRun(const std::string& body, const std::string& etag) {
    Server.ServeRanged("/big.pak", body, etag, kDate);
    const RunResult result = Run();
    EXPECT_TRUE(result.Ended);
    EXPECT_TRUE(result.Boxes.empty());
    EXPECT_EQ(result.DownloadedBytes, kSize);
    EXPECT_EQ(result.TotalPercent, 100u);
    EXPECT_EQ(result.FilePercent, 100u);
    EXPECT_TRUE(test::ReadFile(Install / "big.pak") == body) << "byte for byte";
    EXPECT_FALSE(fs::exists(Side));
    EXPECT_FALSE(fs::exists(ResumeFileOf(Side))) << "no record after the install";
  }

  test::TempDir Install;
  test::TestHttpServer Server;
  const fs::path Side = DownloadedFileOf(Install / "big.pak");
};

TEST_F(ResumeTest, TheNextRunAsksForTheRestOnly) {
  const std::string body = Bytes(kSize, 'a');
  CutRun(body, "\"v1\"");
  FullRun(body, "\"v1\"");
  using Asked = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(FileRequests(), (Asked{{"", ""}, {"bytes=12582912-", "\"v1\""}}));
}

TEST_F(ResumeTest, ANewVersionOnTheServerIsFetchedWhole) {
  CutRun(Bytes(kSize, 'a'), "\"v1\"");
  const std::string changed = Bytes(kSize, 'b');
  FullRun(changed, "\"v2\"");
  using Asked = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(FileRequests(), (Asked{{"", ""}, {"bytes=12582912-", "\"v1\""}}))
      << "asked for the rest; the server answered with its whole new file";
}

TEST_F(ResumeTest, APartOfAnotherListedLengthStartsOver) {
  const std::string body = Bytes(kSize, 'a');
  CutRun(body, "\"v1\"");
  // The record says another length: as if the list had changed since.
  std::optional<ResumeRecord> record = ReadResumeRecord(ResumeFileOf(Side));
  ASSERT_TRUE(record.has_value());
  record->Length = kSize + 1;
  ASSERT_TRUE(WriteResumeRecord(ResumeFileOf(Side), *record));
  FullRun(body, "\"v1\"");
  using Asked = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(FileRequests(), (Asked{{"", ""}, {"", ""}}));
}

}  // namespace
}  // namespace varo

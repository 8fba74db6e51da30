// A whole update run whose download does not fit on the installation's
// disk, on the Windows backends: the run ends on the download's failure,
// as any other failed download, and the installed file stays whole.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "app/CDuiFrameWnd.h"
#include "platform/headless/HeadlessDesktop.h"
#include "support/TempDir.h"
#include "support/TestHttpServer.h"
// The system's headers come after the platform's: their macros share the
// names of the platform's message constants.
#include "TinyFileSystem.h"

namespace varo {
namespace {

namespace fs = std::filesystem;

TEST(WinFullDiskTest, ADownloadThatCannotBeWrittenFailsAndKeepsTheOldFile) {
  const test::TinyFolder tiny;
  if (!tiny.Path()) {
    GTEST_SKIP() << test::kNoTinyFileSystem;
  }
  const fs::path install = *tiny.Path();
  const std::string body(2 << 20, 'z');  // 2 MiB onto 1 MiB
  test::TestHttpServer server;
  test::WriteFile(install / "ADImage" / "xxxxx_system.ini",
                  "[UpdateServer]\nserver1=" + server.Url("/Download/Update.xml") + "\n");
  test::WriteFile(install / "game.pak", "old content");
  server.Serve("/Download/Update.xml",
               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<UpdateList>\n"
               "  <File><FileName>game.pak</FileName><URL>" +
                   server.Url("/game.pak") + "</URL><Length>" + std::to_string(body.size()) +
                   "</Length><FileVersion>9</FileVersion></File>\n</UpdateList>\n",
               200, "text/xml");
  server.Serve("/game.pak", body);

  platform::HeadlessDesktop desktop;
  CDuiFrameWnd frame(desktop, desktop, install);
  ASSERT_TRUE(desktop.Create(frame, "Varo更新程序"));
  for (int job = 0; job < 2; ++job) {
    desktop.Tick();
    ASSERT_TRUE(desktop.DispatchUntil([&] { return frame.Idle(); }));
  }
  // The code of a local file that cannot be written, as on Linux.
  const std::string failure = "下载文件失败 [game.pak], 错误代码 [7]";
  EXPECT_EQ(desktop.CurrentText("progresslable"), failure);
  const auto boxes = desktop.EventsOf("box");
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].Text, "可能由于网络原因，" + failure + " ");
  EXPECT_EQ(test::ReadFile(install / "game.pak"), "old content");
  EXPECT_TRUE(desktop.Starts().empty()) << "the client is not started";
  EXPECT_EQ(server.RequestCount("/game.pak"), 1u);
}

}  // namespace
}  // namespace varo

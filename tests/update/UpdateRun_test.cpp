// Whole update runs over a real local HTTP server and a temporary
// installation, driven tick by tick through the headless desktop.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/CDuiFrameWnd.h"
#include "platform/headless/HeadlessDesktop.h"
#include "support/TempDir.h"
#include "support/TestHttpServer.h"

namespace varo {
namespace {

namespace fs = std::filesystem;
using platform::HeadlessDesktop;
using platform::StartRequest;

const StartRequest kClient{"Tandrel.exe", "", "open"};

// One "File" entry of a served update list.
struct Entry {
  std::string FileName;
  std::string Url;  // a path on the test server
  std::string Length;
  std::string More;  // further child elements, as XML
};

std::string ListXml(const std::vector<Entry>& entries, const test::TestHttpServer& server) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<UpdateList>\n";
  for (const Entry& e : entries) {
    xml += "  <File><FileName>" + e.FileName + "</FileName><URL>" + server.Url(e.Url) +
           "</URL><Length>" + e.Length + "</Length>" + e.More + "</File>\n";
  }
  return xml + "</UpdateList>\n";
}

std::string Bytes(std::size_t size, char seed) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    data[i] = static_cast<char>(seed + static_cast<char>(i % 251));
  }
  return data;
}

class UpdateRunTest : public ::testing::Test {
 protected:
  UpdateRunTest() { Configure(Server.Url("/Download/Update.xml")); }
  ~UpdateRunTest() override {
    Server.Release();
    Frame.reset();
    for (const fs::path& file : ListFiles) {
      fs::remove(file);
    }
  }

  void Configure(const std::string& url) {
    test::WriteFile(Install / "ADImage" / "xxxxx_system.ini",
                    "[UpdateServer]\nserver1=" + url + "\n");
  }
  void ServeList(const std::vector<Entry>& entries) {
    Server.Serve("/Download/Update.xml", ListXml(entries, Server), 200, "text/xml");
  }

  void Open() {
    Frame = std::make_unique<CDuiFrameWnd>(Desktop, Desktop, Install.Path());
    ASSERT_TRUE(Desktop.Create(*Frame, "Varo更新程序"));
    ListFiles.push_back(Frame->InetFiles.GetHead()->LocalFile);
  }

  // One tick starts the head job; then messages are handled as they come
  // until its completion has been.
  void RunHeadJob() {
    ASSERT_NE(Frame->InetFiles.GetHead(), nullptr);
    Desktop.Tick();
    MaxRunning = std::max(MaxRunning, Frame->RunningJobs);
    ASSERT_EQ(Frame->RunningJobs, 1u);
    ASSERT_TRUE(Desktop.DispatchUntil([&] { return Frame->RunningJobs == 0; }));
  }

  // Ticks until the window asks to close, then handles that.
  void TicksUntilClosed(int limit) {
    for (int i = 0; i < limit && Desktop.PendingMessages() == 0; ++i) {
      Desktop.Tick();
    }
    ASSERT_TRUE(Desktop.DispatchOne());
    EXPECT_TRUE(Desktop.IsDestroyed());
  }

  test::TempDir Install;
  test::TestHttpServer Server;
  HeadlessDesktop Desktop;
  std::unique_ptr<CDuiFrameWnd> Frame;
  std::vector<fs::path> ListFiles;
  std::uint32_t MaxRunning = 0;
};

TEST_F(UpdateRunTest, TwoOfThreeFilesDifferAndAreInstalled) {
  const std::string a = Bytes(40000, 'a');
  const std::string c = Bytes(10000, 'c');
  test::WriteFile(Install / "a.dll", "old a");
  test::WriteFile(Install / "b.exe", "current b");
  ServeList({{"a.dll", "/files/a.dll", "40000",
              "<FileDateLow>-1</FileDateLow><FileDateHigh>2147483647</FileDateHigh>"},
             {"b.exe", "/files/b.exe", "7", ""},
             {"c.dat", "/files/data/c.dat", "10000", "<LocalPath>data\\sub</LocalPath>"}});
  Server.Serve("/files/a.dll", a);
  Server.Serve("/files/data/c.dat", c);

  Open();
  const fs::path listFile = Frame->InetFiles.GetHead()->LocalFile;
  RunHeadJob();
  EXPECT_EQ(Desktop.TextsOf("progresslable"),
            (std::vector<std::string>{"正在连接获取服务器列表", "正在连接：更新服务器1",
                                      "获取更新文件列表成功：更新服务器1"}));
  EXPECT_TRUE(Desktop.TextsOf("infolable").size() == 1) << "a list fetch leaves the status line";
  EXPECT_EQ(Frame->FileCount, 2u);
  EXPECT_EQ(Frame->TotalBytes, 50000u);
  EXPECT_EQ(Frame->InetFiles.GetCount(), 2u);
  EXPECT_FALSE(fs::exists(listFile)) << "the list's temporary file is deleted";

  RunHeadJob();
  EXPECT_EQ(Desktop.CurrentText("infolable"), "正在下载文件：a.dll");
  EXPECT_EQ(test::ReadFile(Install / "a.dll"), a);
  EXPECT_EQ(Frame->DownloadedBytes, 40000u);
  EXPECT_EQ(Frame->TotalPercent, 80u);
  Desktop.Tick();  // shows the counters, starts c.dat
  EXPECT_EQ(Desktop.EventsOf("text").back().Text, "正在下载文件：c.dat");
  EXPECT_TRUE(Desktop.CurrentText("progresslable").starts_with("正在下载(2/2) "));
  EXPECT_TRUE(Desktop.CurrentText("progresslable").ends_with(" 总大小48KB"));
  EXPECT_EQ(Desktop.CurrentText("totalprogress"), "80%");
  ASSERT_TRUE(Desktop.DispatchUntil([&] { return Frame->RunningJobs == 0; }));

  EXPECT_EQ(test::ReadFile(Install / "data" / "sub" / "c.dat"), c);
  EXPECT_EQ(test::ReadFile(Install / "b.exe"), "current b");
  EXPECT_EQ(Server.RequestCount("/files/b.exe"), 0u);
  EXPECT_EQ(Desktop.CurrentText("infolable"), "更新完毕");
  EXPECT_EQ(Desktop.Starts(), std::vector<StartRequest>{kClient});
  EXPECT_TRUE(Desktop.EventsOf("box").empty());
  EXPECT_EQ(Frame->TotalPercent, 100u);
  TicksUntilClosed(0);
  EXPECT_FALSE(Desktop.TrayShown());
}

TEST_F(UpdateRunTest, NothingToDownloadEndsThroughTheCheckingSequence) {
  test::WriteFile(Install / "b.exe", "current b");
  ServeList({{"b.exe", "/files/b.exe", "7", ""}});
  Open();
  const fs::path listFile = Frame->InetFiles.GetHead()->LocalFile;
  RunHeadJob();  // the first tick of the sequence
  EXPECT_EQ(Frame->FileCount, 0u);
  EXPECT_EQ(Frame->InetFiles.GetCount(), 0u);
  EXPECT_FALSE(fs::exists(listFile));
  EXPECT_EQ(Desktop.CurrentText("progresslable"), "获取更新文件列表成功：更新服务器1");
  for (int tick = 2; tick <= 8; ++tick) {
    Desktop.Tick();
    EXPECT_TRUE(Desktop.Starts().empty()) << tick;
  }
  EXPECT_EQ(Desktop.ValuesOf("totalprogress"), (std::vector<std::int64_t>{0, 20, 40, 60, 80, 100}));
  EXPECT_EQ(Desktop.CurrentText("progresslable"), "你当前的版本是最新的");
  EXPECT_EQ(Desktop.CurrentText("infolable"), "检测完毕");
  Desktop.Tick();
  EXPECT_EQ(Desktop.Starts(), std::vector<StartRequest>{kClient});
  TicksUntilClosed(0);
}

TEST_F(UpdateRunTest, ListThatDoesNotParseIsLikeNothingToDownload) {
  Server.Serve("/Download/Update.xml", "<html><body>502 Bad Gateway</body>", 200, "text/html");
  Open();
  const fs::path listFile = Frame->InetFiles.GetHead()->LocalFile;
  RunHeadJob();
  EXPECT_FALSE(fs::exists(listFile));
  EXPECT_EQ(Frame->FileCount, 0u);
  EXPECT_TRUE(Desktop.EventsOf("box").empty());
  TicksUntilClosed(8);
  EXPECT_EQ(Desktop.Starts(), std::vector<StartRequest>{kClient});
}

TEST_F(UpdateRunTest, FailedListFetchShowsItsTextThenStartsTheClient) {
  struct Case {
    std::string Name;
    std::string Url;
    std::string Box;
  };
  // Nothing listens any more on the port of a server that has gone.
  const std::string refused = [] {
    const test::TestHttpServer gone;
    return gone.Url("/Download/Update.xml");
  }();
  const std::vector<Case> cases{
      {"not found", Server.Url("/missing.xml"), "取得服务器文件失败, 请选择其他服务器进行尝试"},
      {"not http", "ftp://127.0.0.1/Update.xml", "URL解析错误, 请选择其他服务器进行尝试"},
      {"refused", refused, "连接服务器失败, 请检查网络或联系管理员"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    HeadlessDesktop desktop;
    Configure(c.Url);
    CDuiFrameWnd frame(desktop, desktop, Install.Path());
    desktop.Create(frame, "Varo更新程序");
    const fs::path listFile = frame.InetFiles.GetHead()->LocalFile;
    desktop.Tick();
    ASSERT_TRUE(desktop.DispatchUntil([&] { return frame.RunningJobs == 0; }));
    const auto boxes = desktop.EventsOf("box");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].Name, "系统提示");
    EXPECT_EQ(boxes[0].Text, c.Box);
    EXPECT_EQ(desktop.Starts(), std::vector<StartRequest>{kClient});
    EXPECT_EQ(desktop.PendingMessages(), 1u);
    EXPECT_TRUE(fs::exists(listFile)) << "a failed fetch leaves its file";
    fs::remove(listFile);
  }
  EXPECT_EQ(Server.RequestCount("/missing.xml"), 1u);
}

TEST_F(UpdateRunTest, SlowListEndsAfterNineTicksAndIsCancelledAtTeardown) {
  Server.StallBeforeResponse("/Download/Update.xml", "<UpdateList/>");
  Open();
  Desktop.Tick();
  ASSERT_TRUE(Server.WaitForRequests("/Download/Update.xml", 1));
  for (int tick = 2; tick <= 9; ++tick) {
    Desktop.Tick();
  }
  EXPECT_EQ(Desktop.Starts(), std::vector<StartRequest>{kClient});
  ASSERT_TRUE(Desktop.DispatchOne());
  EXPECT_TRUE(Desktop.IsDestroyed());
  const auto before = std::chrono::steady_clock::now();
  Frame.reset();  // cancels the stalled fetch and waits for it
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
}

TEST_F(UpdateRunTest, FileFailingInTheMiddleEndsTheRunWithoutTheClient) {
  ServeList({{"a.dll", "/a", "3", ""}, {"b.dll", "/b", "3", ""}, {"c.dll", "/c", "3", ""}});
  Server.Serve("/a", "aaa");
  Server.Serve("/c", "ccc");
  Open();
  RunHeadJob();
  RunHeadJob();
  RunHeadJob();  // b.dll: 404
  EXPECT_EQ(test::ReadFile(Install / "a.dll"), "aaa");
  EXPECT_EQ(Desktop.CurrentText("progresslable"), "下载文件失败 [b.dll], 错误代码 [6]");
  const auto boxes = Desktop.EventsOf("box");
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].Text, "可能由于网络原因，下载文件失败 [b.dll], 错误代码 [6] ");
  EXPECT_TRUE(Desktop.Starts().empty());
  Desktop.Tick();  // a tick before the close arrives starts nothing more
  TicksUntilClosed(0);
  Frame.reset();
  EXPECT_EQ(Server.RequestCount("/c"), 0u);
  EXPECT_FALSE(fs::exists(Install / "c.dll"));
}

TEST_F(UpdateRunTest, LastFileFailingStillFinishesAndStartsTheClient) {
  ServeList({{"a.dll", "/a", "3", ""}});
  Open();
  RunHeadJob();
  RunHeadJob();
  ASSERT_EQ(Desktop.EventsOf("box").size(), 1u);
  EXPECT_EQ(Desktop.CurrentText("infolable"), "更新完毕");
  EXPECT_EQ(Desktop.Starts(), std::vector<StartRequest>{kClient});
  EXPECT_EQ(Desktop.PendingMessages(), 2u) << "both endings ask to close";
}

TEST_F(UpdateRunTest, CloseButtonDuringADownloadCancelsAndWaits) {
  const std::string big = Bytes(200000, 'z');
  ServeList({{"big.pak", "/big", "200000", ""}});
  Server.StallAfter("/big", big, 51200);  // 50 whole chunks
  Open();
  RunHeadJob();
  Desktop.Tick();
  ASSERT_TRUE(Desktop.DispatchUntil([&] { return Frame->DownloadedBytes >= 51200; },
                                    std::chrono::seconds(3)))
      << Frame->DownloadedBytes;
  Frame->Notify("click", *Desktop.FindControl("closebtn"));
  ASSERT_TRUE(Desktop.DispatchUntil([&] { return Desktop.IsDestroyed(); }));
  CInetFile* job = Frame->InetFiles.GetHead();
  ASSERT_NE(job, nullptr);
  const auto before = std::chrono::steady_clock::now();
  Frame.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
  EXPECT_TRUE(Desktop.Starts().empty());
  EXPECT_FALSE(fs::exists(Install / "big.pak"));
  EXPECT_EQ(fs::file_size(Install / "big.pak.update"), 51200u) << "the partial download stays";
}

TEST_F(UpdateRunTest, ErrorBoxKeepsTicksAndProgressFlowing) {
  // The list fetch fails; while its box is open the checking sequence runs on
  // behind it, starts the client and closes the window.
  Configure(Server.Url("/missing.xml"));
  Open();
  CInetFile other;
  other.ExpectedLength = 10;
  other.BytesReceived = 5;
  Desktop.BoxHandler = [&](const std::string&) {
    Frame->HandleMessage(WM_INETFILE_PROGRESS, (2u << 16) | 5u,
                         reinterpret_cast<std::intptr_t>(&other));
    for (int i = 0; i < 9 && Desktop.PendingMessages() == 0; ++i) {
      Desktop.Tick();
    }
    EXPECT_EQ(Desktop.Starts().size(), 1u) << "the client starts behind the box";
    EXPECT_TRUE(Desktop.DispatchOne());
    EXPECT_TRUE(Desktop.IsDestroyed());
  };
  RunHeadJob();
  EXPECT_EQ(Frame->FilePercent, 50u);
  EXPECT_EQ(Desktop.Starts(), (std::vector<StartRequest>{kClient, kClient}));
  EXPECT_EQ(Desktop.PendingMessages(), 1u);
}

TEST_F(UpdateRunTest, InstallationOutcomesDoNotStopTheRun) {
  fs::create_directories(Install / "Program Files");
  test::WriteFile(Install / "locked.dll", "old");
  ::chmod((Install / "locked.dll").c_str(), 0444);
  ServeList({{"locked.dll", "/locked", "3", "<FileVersion>2.0</FileVersion>"},
             {"tool.exe", "/tool", "4",
              "<LocalPath>Program Files</LocalPath><Execute>yes</Execute>"
              "<ExecutePar>--quiet 1</ExecutePar><Register>YES</Register>"}});
  Server.Serve("/locked", "new");
  Server.Serve("/tool", "tool");
  Open();
  for (int job = 0; job < 3; ++job) {
    RunHeadJob();
  }
  EXPECT_EQ(test::ReadFile(Install / "locked.dll"), "old");
  EXPECT_EQ(test::ReadFile(Install / "locked.dll.update"), "new");
  const std::string tool = (Install / "Program Files" / "tool.exe").string();
  EXPECT_EQ(test::ReadFile(tool), "tool");
  EXPECT_EQ(Desktop.Starts(),
            (std::vector<StartRequest>{
                {tool, "--quiet 1", ""}, {"regsvr32", "/s \"" + tool + "\"", ""}, kClient}));
  EXPECT_EQ(Desktop.CurrentText("infolable"), "更新完毕");
}

TEST_F(UpdateRunTest, FiveFilesRunOneAtATimeInListOrder) {
  std::vector<Entry> entries;
  for (char name = 'a'; name <= 'e'; ++name) {
    const std::string file = std::string(1, name) + ".dat";
    entries.push_back({file, "/f/" + file, "2000", ""});
    Server.Serve("/f/" + file, Bytes(2000, name));
  }
  ServeList(entries);
  Open();
  for (int job = 0; job < 6; ++job) {
    RunHeadJob();
    // A further tick while nothing runs never starts two at once.
  }
  EXPECT_EQ(MaxRunning, 1u);
  std::vector<std::string> order;
  for (const auto& request : Server.Requests()) {
    order.push_back(request.Path);
  }
  EXPECT_EQ(order, (std::vector<std::string>{"/Download/Update.xml", "/f/a.dat", "/f/b.dat",
                                             "/f/c.dat", "/f/d.dat", "/f/e.dat"}));
  EXPECT_EQ(Desktop.Starts(), std::vector<StartRequest>{kClient});
}

TEST_F(UpdateRunTest, TotalBytesWrapsModulo2To32) {
  ServeList({{"a", "/a", "2147483647", ""}, {"b", "/b", "2147483647", ""}, {"c", "/c", "7", ""}});
  Open();
  RunHeadJob();
  EXPECT_EQ(Frame->FileCount, 3u);
  EXPECT_EQ(Frame->TotalBytes, 5u);
}

}  // namespace
}  // namespace varo

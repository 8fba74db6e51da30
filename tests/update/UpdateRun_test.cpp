// Whole update runs over a real local HTTP server and a temporary
// installation, driven tick by tick through the headless desktop.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <thread>
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

  void Configure(const std::string& url, const std::string& more = {}) {
    test::WriteFile(Install / "ADImage" / "xxxxx_system.ini",
                    "[UpdateServer]\nserver1=" + url + "\n" + more);
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
    ASSERT_TRUE(Desktop.DispatchUntil([&] { return Frame->Idle(); }));
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
  ASSERT_TRUE(Desktop.DispatchUntil([&] { return Frame->Idle(); }));

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
  RunHeadJob();  // the sequence waits for the list at its first step
  EXPECT_EQ(Frame->FileCount, 0u);
  EXPECT_EQ(Frame->InetFiles.GetCount(), 0u);
  EXPECT_FALSE(fs::exists(listFile));
  EXPECT_EQ(Desktop.CurrentText("progresslable"), "获取更新文件列表成功：更新服务器1");
  for (int tick = 1; tick <= 8; ++tick) {
    Desktop.Tick();
    EXPECT_TRUE(Desktop.Starts().empty()) << tick;
  }
  EXPECT_EQ(Desktop.ValuesOf("totalprogress"),
            (std::vector<std::int64_t>{0, 0, 20, 40, 60, 80, 100}));
  EXPECT_EQ(Desktop.CurrentText("progresslable"), "你当前的版本是最新的");
  EXPECT_EQ(Desktop.CurrentText("infolable"), "检测完毕");
  Desktop.Tick();
  EXPECT_EQ(Desktop.Starts(), std::vector<StartRequest>{kClient});
  TicksUntilClosed(0);
}

TEST_F(UpdateRunTest, AnAnswerThatIsNoUpdateListTakesTheListFailurePath) {
  struct Case {
    std::string Name;
    std::string Body;
  };
  const std::vector<Case> cases{
      {"HTML page", "<html><body>502 Bad Gateway</body>"},
      {"empty body", ""},
      {"not XML at all", std::string("\x89PNG\r\n\x1a\n\0\0\0", 12)},
      {"truncated list", "<UpdateList><File><FileName>a.dll</FileName>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    HeadlessDesktop desktop;
    Server.Serve("/Download/Update.xml", c.Body, 200, "text/html");
    CDuiFrameWnd frame(desktop, desktop, Install.Path());
    desktop.Create(frame, "Varo更新程序");
    const fs::path listFile = frame.InetFiles.GetHead()->LocalFile;
    desktop.Tick();
    ASSERT_TRUE(desktop.DispatchUntil([&] { return frame.Idle(); }));
    EXPECT_FALSE(fs::exists(listFile));
    EXPECT_EQ(frame.FileCount, 0u);
    const auto boxes = desktop.EventsOf("box");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].Text, "取得服务器文件失败, 请选择其他服务器进行尝试");
    EXPECT_EQ(desktop.Starts(), std::vector<StartRequest>{kClient});
    EXPECT_TRUE(desktop.TextsOf("infolable") == std::vector<std::string>{"正在检测"})
        << "the checking sequence never finished";
    ASSERT_TRUE(desktop.DispatchOne());
    EXPECT_TRUE(desktop.IsDestroyed());
  }
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
      {"over 32 MiB", Server.Url("/huge.xml"), "连接服务器失败, 请检查网络或联系管理员"},
  };
  Server.Serve("/huge.xml", "<UpdateList>" + std::string((32u << 20) - 12, ' ') + "</UpdateList>");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    HeadlessDesktop desktop;
    Configure(c.Url);
    CDuiFrameWnd frame(desktop, desktop, Install.Path());
    desktop.Create(frame, "Varo更新程序");
    const fs::path listFile = frame.InetFiles.GetHead()->LocalFile;
    desktop.Tick();
    ASSERT_TRUE(desktop.DispatchUntil([&] { return frame.Idle(); }));
    const auto boxes = desktop.EventsOf("box");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].Name, "系统提示");
    EXPECT_EQ(boxes[0].Text, c.Box);
    EXPECT_EQ(desktop.Starts(), std::vector<StartRequest>{kClient});
    EXPECT_EQ(desktop.PendingMessages(), 1u);
    EXPECT_FALSE(fs::exists(listFile)) << "the temporary file goes on every path";
    EXPECT_EQ(frame.DownloadedBytes, 0u);
  }
  EXPECT_EQ(Server.RequestCount("/huge.xml"), 1u);
  EXPECT_EQ(Server.RequestCount("/missing.xml"), 1u);
}

TEST_F(UpdateRunTest, ASlowListIsWaitedForAndThenUpdates) {
  ServeList({{"a.dll", "/a", "3", ""}});
  Server.Serve("/a", "aaa");
  const std::string list = ListXml({{"a.dll", "/a", "3", ""}}, Server);
  Server.StallBeforeResponse("/Download/Update.xml", list);
  Open();
  Desktop.Tick();
  ASSERT_TRUE(Server.WaitForRequests("/Download/Update.xml", 1));
  for (int tick = 2; tick <= 30; ++tick) {  // six seconds of ticks
    Desktop.Tick();
  }
  EXPECT_TRUE(Desktop.Starts().empty());
  EXPECT_EQ(Desktop.PendingMessages(), 0u);
  EXPECT_NE(Desktop.CurrentText("progresslable"), "你当前的版本是最新的");

  Server.Release();
  ASSERT_TRUE(Desktop.DispatchUntil([&] { return Frame->Idle(); }));
  EXPECT_EQ(Frame->FileCount, 1u);
  RunHeadJob();
  EXPECT_EQ(test::ReadFile(Install / "a.dll"), "aaa");
  EXPECT_EQ(Desktop.CurrentText("infolable"), "更新完毕");
  EXPECT_EQ(Desktop.Starts(), std::vector<StartRequest>{kClient});
  TicksUntilClosed(0);
}

TEST_F(UpdateRunTest, AFileThatFailsEndsTheRunWhereverItStands) {
  // Three files; one of them cannot be downloaded (404) or installed (a
  // read-only target), first, in the middle or last.
  // With StartNextAtOnce, the first tick runs the whole list up to the
  // failure; without, one tick starts each job.
  const std::vector<std::string> names{"a.dll", "b.dll", "c.dll"};
  for (const bool atOnce : {false, true}) {
    for (const bool install : {false, true}) {
      for (std::size_t failing = 0; failing < names.size(); ++failing) {
        SCOPED_TRACE((atOnce ? "at once, " : "on ticks, ") +
                     std::string(install ? "install of " : "download of ") + names[failing]);
        test::TempDir dir;
        test::TestHttpServer server;
        HeadlessDesktop desktop;
        test::WriteFile(dir / "ADImage" / "xxxxx_system.ini",
                        "[UpdateServer]\nserver1=" + server.Url("/Download/Update.xml") + "\n" +
                            (atOnce ? "[Update]\nStartNextAtOnce=1\n" : ""));
        std::vector<Entry> entries;
        for (std::size_t i = 0; i < names.size(); ++i) {
          entries.push_back({names[i], "/" + names[i], "3", "<FileVersion>2.0</FileVersion>"});
          if (i != failing || install) {
            server.Serve("/" + names[i], std::string(3, static_cast<char>('a' + i)));
          }
        }
        if (install) {
          test::WriteFile(dir / names[failing], "old");
          fs::permissions(dir / names[failing],
                          fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
        }
        server.Serve("/Download/Update.xml", ListXml(entries, server), 200, "text/xml");
        CDuiFrameWnd frame(desktop, desktop, dir.Path());
        desktop.Create(frame, "Varo更新程序");
        const std::size_t ticks = atOnce ? 1 : failing + 2;
        for (std::size_t tick = 0; tick < ticks; ++tick) {
          desktop.Tick();
          ASSERT_TRUE(desktop.DispatchUntil([&] { return frame.Idle(); }));
        }
        const auto boxes = desktop.EventsOf("box");
        ASSERT_EQ(boxes.size(), 1u);
        const std::string failure = install ? "安装文件失败 [" + names[failing] + "]"
                                            : "下载文件失败 [" + names[failing] + "], 错误代码 [6]";
        EXPECT_EQ(boxes[0].Text, install ? failure : "可能由于网络原因，" + failure + " ");
        EXPECT_EQ(desktop.CurrentText("progresslable"), failure);
        EXPECT_TRUE(desktop.Starts().empty()) << "the client is not started";
        for (const std::string& text : desktop.TextsOf("infolable")) {
          EXPECT_NE(text, "更新完毕");
        }
        desktop.Tick();  // a tick before the close arrives starts nothing more
        EXPECT_EQ(desktop.PendingMessages(), 1u);
        ASSERT_TRUE(desktop.DispatchOne());
        EXPECT_TRUE(desktop.IsDestroyed());
        for (std::size_t i = 0; i < names.size(); ++i) {
          EXPECT_EQ(server.RequestCount("/" + names[i]), i <= failing ? 1u : 0u) << names[i];
        }
        if (install) {
          EXPECT_EQ(test::ReadFile(dir / names[failing]), "old");
          EXPECT_EQ(test::ReadFile(DownloadedFileOf(dir / names[failing])),
                    std::string(3, static_cast<char>('a' + failing)));
        }
      }
    }
  }
}

TEST_F(UpdateRunTest, ListedLengthsAreEnforced) {
  struct Case {
    std::string Name;
    std::string Length;
    std::function<void(test::TestHttpServer&)> Serve;
    std::uintmax_t MostWritten;
  };
  const std::vector<Case> cases{
      {"empty body for 5000 bytes", "5000", [](test::TestHttpServer& s) { s.Serve("/f", ""); }, 0},
      {"4321 bytes without a length for 100000", "100000",
       [](test::TestHttpServer& s) { s.ServeWithoutLength("/f", Bytes(4321, 'x')); }, 4321},
      {"a megabyte for 10 bytes", "10",
       [](test::TestHttpServer& s) { s.Serve("/f", Bytes(1 << 20, 'y')); }, 10},
      {"9 bytes for 10", "10", [](test::TestHttpServer& s) { s.Serve("/f", "123456789"); }, 9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    test::TempDir dir;
    test::TestHttpServer server;
    HeadlessDesktop desktop;
    test::WriteFile(dir / "ADImage" / "xxxxx_system.ini",
                    "[UpdateServer]\nserver1=" + server.Url("/Download/Update.xml") + "\n");
    test::WriteFile(dir / "game.pak", "old content");
    server.Serve("/Download/Update.xml",
                 ListXml({{"game.pak", "/f", c.Length, "<FileVersion>9</FileVersion>"}}, server),
                 200, "text/xml");
    c.Serve(server);
    CDuiFrameWnd frame(desktop, desktop, dir.Path());
    desktop.Create(frame, "Varo更新程序");
    for (int job = 0; job < 2; ++job) {
      desktop.Tick();
      ASSERT_TRUE(desktop.DispatchUntil([&] { return frame.Idle(); }));
    }
    EXPECT_EQ(desktop.CurrentText("progresslable"), "下载文件失败 [game.pak], 错误代码 [2]");
    EXPECT_EQ(test::ReadFile(dir / "game.pak"), "old content");
    EXPECT_LE(fs::file_size(dir / "game.pak.update"), c.MostWritten);
    EXPECT_TRUE(desktop.Starts().empty());
  }
}

TEST_F(UpdateRunTest, AFileWithTheLongestNameIsUpdated) {
  const std::string name = std::string(246, 'n') + ".dat";  // 250 bytes
  test::WriteFile(Install / name, "old");
  ServeList({{name, "/long", "3", "<FileVersion>2</FileVersion>"}});
  Server.Serve("/long", "new");
  Open();
  RunHeadJob();
  RunHeadJob();
  EXPECT_EQ(test::ReadFile(Install / name), "new");
  EXPECT_TRUE(Desktop.EventsOf("box").empty());
  EXPECT_EQ(Desktop.CurrentText("infolable"), "更新完毕");
  EXPECT_EQ(std::distance(fs::directory_iterator(Install.Path()), fs::directory_iterator{}), 2)
      << "the file and ADImage, no side file left";
}

// A listed file may carry the name of another entry's side file or resume
// record ("<name>.update", "<name>.resume"): that entry then downloads into
// a side file of another name, and neither file is overwritten or removed.
TEST_F(UpdateRunTest, FilesNamedLikeAnotherEntrysSideFileStayWhole) {
  test::WriteFile(Install / "a.pak.update", "listed, current");
  test::WriteFile(Install / "a.pak", "old a");
  test::WriteFile(Install / "b.pak", "old b");
  const std::string stale = "<FileVersion>2</FileVersion>";
  ServeList({{"a.pak.update", "/a-update", "15", ""},
             {"a.pak", "/a", "5", stale},
             {"b.pak.resume", "/b-resume", "8", stale},
             {"b.pak", "/b", "5", stale}});
  Server.Serve("/a", "new a");
  Server.Serve("/b-resume", "b record");
  Server.Serve("/b", "new b");
  Open();
  RunHeadJob();
  ASSERT_EQ(Frame->InetFiles.GetCount(), 3u);
  for (int file = 0; file < 3; ++file) {
    RunHeadJob();
  }
  EXPECT_EQ(Desktop.CurrentText("infolable"), "更新完毕");
  EXPECT_TRUE(Desktop.EventsOf("box").empty());
  EXPECT_EQ(Server.RequestCount("/a-update"), 0u);
  std::set<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(Install.Path())) {
    names.insert(entry.path().filename().string());
  }
  EXPECT_EQ(names,
            (std::set<std::string>{"ADImage", "a.pak", "a.pak.update", "b.pak", "b.pak.resume"}))
      << "no side file left";
  EXPECT_EQ(test::ReadFile(Install / "a.pak.update"), "listed, current");
  EXPECT_EQ(test::ReadFile(Install / "a.pak"), "new a");
  EXPECT_EQ(test::ReadFile(Install / "b.pak.resume"), "b record");
  EXPECT_EQ(test::ReadFile(Install / "b.pak"), "new b");
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

TEST_F(UpdateRunTest, ErrorBoxKeepsTicksAndProgressFlowingButHoldsTheRun) {
  // The list fetch fails; while its box is open, ticks and progress go on,
  // but nothing ends the run behind it: the client starts once, after it.
  Configure(Server.Url("/missing.xml"));
  Open();
  CInetFile other;
  other.ExpectedLength = 10;
  other.BytesReceived = 5;
  Desktop.BoxHandler = [&](const std::string&) {
    Frame->HandleMessage(WM_INETFILE_PROGRESS, (2u << 16) | 5u,
                         reinterpret_cast<std::intptr_t>(&other));
    for (int i = 0; i < 30; ++i) {
      Desktop.Tick();
    }
    EXPECT_TRUE(Desktop.Starts().empty()) << "nothing starts behind the box";
    EXPECT_EQ(Desktop.PendingMessages(), 0u) << "the window stays while the box is open";
  };
  RunHeadJob();
  EXPECT_EQ(Frame->FilePercent, 50u);
  EXPECT_EQ(Desktop.Starts(), std::vector<StartRequest>{kClient});
  for (int i = 0; i < 30; ++i) {
    Desktop.Tick();  // before the close arrives
  }
  EXPECT_EQ(Desktop.Starts(), std::vector<StartRequest>{kClient}) << "started once only";
  EXPECT_EQ(Desktop.PendingMessages(), 1u);
}

TEST_F(UpdateRunTest, StartedAndRegisteredFilesAndTheirModes) {
  fs::create_directories(Install / "Program Files");
  test::WriteFile(Install / "Tandrel.exe", "old client");
  fs::permissions(Install / "Tandrel.exe", static_cast<fs::perms>(0750));
  ServeList({{"tool.exe", "/tool", "4",
              "<LocalPath>Program Files</LocalPath><Execute>yes</Execute>"
              "<ExecutePar>--quiet 1</ExecutePar><Register>YES</Register>"},
             {"Tandrel.exe", "/client", "10", "<FileVersion>2.0</FileVersion>"},
             {"data.pak", "/data", "4", ""}});
  Server.Serve("/tool", "tool");
  Server.Serve("/client", "new client");
  Server.Serve("/data", "data");
  Open();
  for (int job = 0; job < 4; ++job) {
    RunHeadJob();
  }
  const fs::path tool = Install / "Program Files" / "tool.exe";
  EXPECT_EQ(test::ReadFile(tool), "tool");
  EXPECT_EQ(test::ReadFile(Install / "Tandrel.exe"), "new client");
#ifndef _WIN32
  // Permission bits are POSIX's; Windows files have none to check.
  const auto mode = [](const fs::path& file) {
    struct stat info {};
    ::stat(file.c_str(), &info);
    return info.st_mode & 07777;
  };
  EXPECT_EQ(mode(tool), 0755u) << "a new file to execute";
  EXPECT_EQ(mode(Install / "Tandrel.exe"), 0750u) << "a replacement keeps its modes";
  EXPECT_EQ(mode(Install / "data.pak"), 0644u) << "a new file of data";
#endif
  const std::string path = tool.string();
  EXPECT_EQ(Desktop.Starts(),
            (std::vector<StartRequest>{
                {path, "--quiet 1", ""}, {"regsvr32", "/s \"" + path + "\"", "", true}, kClient}));
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

// Five files, started on the ticks or, with StartNextAtOnce, each by the
// completion of the one before: the same downloads in the same order, one at
// a time, with the same texts; only the ticks they need differ. A server
// that keeps connections serves the list and every file over one.
TEST_F(UpdateRunTest, NextFileStartsOnTheTickOrAtOnceAsConfigured) {
  const struct {
    const char* Name;
    const char* Config;
    bool AtOnce;
  } cases[] = {
      {"not set", "", false},
      {"0", "[Update]\nStartNextAtOnce=0\n", false},
      {"1", "[Update]\nStartNextAtOnce=1\n", true},
  };
  const std::vector<std::string> names{"a.dat", "b.dat", "c.dat", "d.dat", "e.dat"};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    test::TempDir dir;
    test::TestHttpServer server(test::TestHttpServer::Transport::Plain,
                                test::TestHttpServer::Connections::KeptAlive);
    HeadlessDesktop desktop;
    test::WriteFile(
        dir / "ADImage" / "xxxxx_system.ini",
        "[UpdateServer]\nserver1=" + server.Url("/Download/Update.xml") + "\n" + c.Config);
    std::vector<Entry> entries;
    for (const std::string& name : names) {
      entries.push_back({name, "/f/" + name, "2000", ""});
      server.Serve("/f/" + name, Bytes(2000, name[0]));
    }
    server.Serve("/Download/Update.xml", ListXml(entries, server), 200, "text/xml");
    CDuiFrameWnd frame(desktop, desktop, dir.Path());
    ASSERT_TRUE(desktop.Create(frame, "Varo更新程序"));

    // Every message until nothing runs, then a tick and the same again, as
    // long as jobs wait. With the setting, the list is asked for before
    // any tick, and everything after it follows on its own.
    int ticks = 0;
    std::uint32_t maxRunning = 0;
    const auto dispatchUntilIdle = [&] {
      return desktop.DispatchUntil([&] {
        maxRunning = std::max(maxRunning, frame.RunningJobs);
        return frame.Idle();
      });
    };
    ASSERT_TRUE(dispatchUntilIdle());
    while (frame.InetFiles.GetCount() > 0 && ticks < 20) {
      desktop.Tick();
      ++ticks;
      ASSERT_TRUE(dispatchUntilIdle());
    }
    EXPECT_EQ(ticks, c.AtOnce ? 0 : 1 + static_cast<int>(names.size()));
    EXPECT_EQ(maxRunning, 1u);

    std::vector<std::string> order;
    std::set<int> connections;
    for (const auto& request : server.Requests()) {
      order.push_back(request.Path);
      connections.insert(request.ClientPort);
    }
#ifndef _WIN32
    // The Windows tests' server closes every connection after one request.
    EXPECT_EQ(connections.size(), 1u);
#endif
    std::vector<std::string> expectedOrder{"/Download/Update.xml"};
    // Without the setting the first tick finds nothing fetched yet; with
    // it, the whole run is over before that tick.
    std::vector<std::string> expectedTexts;
    if (!c.AtOnce) {
      expectedTexts.emplace_back("正在检测");
    }
    for (const std::string& name : names) {
      expectedOrder.push_back("/f/" + name);
      expectedTexts.push_back("正在下载文件：" + name);
      EXPECT_EQ(test::ReadFile(dir / name), Bytes(2000, name[0]));
    }
    expectedTexts.emplace_back("更新完毕");
    EXPECT_EQ(order, expectedOrder);
    EXPECT_EQ(desktop.TextsOf("infolable"), expectedTexts);
    EXPECT_EQ(frame.FileCount, 5u);
    EXPECT_EQ(frame.DownloadedBytes, 10000u);
    EXPECT_EQ(frame.TotalPercent, 100u);
    EXPECT_EQ(desktop.Starts(), std::vector<StartRequest>{kClient});
    EXPECT_TRUE(desktop.EventsOf("box").empty());
    EXPECT_EQ(desktop.PendingMessages(), 1u) << "the close";
    ASSERT_TRUE(desktop.DispatchOne());
    EXPECT_TRUE(desktop.IsDestroyed());
  }
}

// With StartNextAtOnce, a completion handled after the close button was
// clicked, but before the window has closed, starts nothing more.
TEST_F(UpdateRunTest, CloseButtonStopsTheStartAtOnce) {
  Configure(Server.Url("/Download/Update.xml"), "[Update]\nStartNextAtOnce=1\n");
  ServeList(
      {{"a.dat", "/a", "3000", ""}, {"b.dat", "/b", "3000", ""}, {"c.dat", "/c", "3000", ""}});
  Server.Serve("/a", Bytes(3000, 'a'));
  Server.Serve("/b", Bytes(3000, 'b'));
  Server.Serve("/c", Bytes(3000, 'c'));
  Open();
  Desktop.Tick();
  // Every chunk of a and b has been handled: b's completion comes next.
  ASSERT_TRUE(Desktop.DispatchUntil([&] { return Frame->DownloadedBytes == 6000; }));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (Desktop.PendingMessages() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(Desktop.PendingMessages(), 1u);
  Frame->Notify("click", *Desktop.FindControl("closebtn"));
  ASSERT_TRUE(Desktop.DispatchOne());  // b's completion
  EXPECT_EQ(test::ReadFile(Install / "b.dat"), Bytes(3000, 'b'));
  EXPECT_EQ(Frame->RunningJobs, 0u);
  ASSERT_NE(Frame->InetFiles.GetHead(), nullptr);
  EXPECT_EQ(Frame->InetFiles.GetHead()->StartCount, 0) << "c is not started";
  ASSERT_TRUE(Desktop.DispatchOne());  // the close
  EXPECT_TRUE(Desktop.IsDestroyed());
  Frame.reset();
  EXPECT_EQ(Server.RequestCount("/c"), 0u);
  EXPECT_FALSE(fs::exists(Install / "c.dat"));
  EXPECT_TRUE(Desktop.Starts().empty());
}

TEST_F(UpdateRunTest, SizesAndPercentagesPast4GiB) {
  // A file 100 KiB past 4 GiB, then one of 5 GiB: with 32-bit counters the
  // first would count as 100 KiB long and the run as 5 GiB + 100 KiB.
  constexpr std::uint64_t kFirst = (std::uint64_t{1} << 32) + 102400;
  constexpr std::uint64_t kSecond = std::uint64_t{5} << 30;
  ServeList({{"huge.pak", "/huge", std::to_string(kFirst), ""},
             {"bigger.pak", "/bigger", std::to_string(kSecond), ""}});
  Server.ServeCutShort("/huge", Bytes(51200, 'h'), kFirst);
  Open();
  RunHeadJob();
  EXPECT_EQ(Frame->FileCount, 2u);
  EXPECT_EQ(Frame->TotalBytes, kFirst + kSecond);

  Desktop.Tick();
  ASSERT_TRUE(Desktop.DispatchUntil([&] { return Frame->DownloadedBytes >= 51200; }));
  CInetFile* job = Frame->InetFiles.GetHead();
  ASSERT_NE(job, nullptr);
  EXPECT_EQ(job->ExpectedLength, kFirst);
  Desktop.Tick();
  EXPECT_EQ(Desktop.CurrentText("progresslable"),
            "正在下载(1/2) 0KB/秒 总大小" + std::to_string((kFirst + kSecond) / 1024) + "KB");
  EXPECT_EQ(Desktop.CurrentText("eachprogress"), "0%");
  EXPECT_EQ(Desktop.CurrentText("totalprogress"), "0%");

  // Half of the first file, then all of it: the percentages follow.
  job->BytesReceived = kFirst / 2;
  Frame->DownloadedBytes = kFirst / 2 - 1024;
  Frame->HandleMessage(WM_INETFILE_PROGRESS, (2u << 16) | 1024u,
                       reinterpret_cast<std::intptr_t>(job));
  EXPECT_EQ(Frame->FilePercent, 50u);
  EXPECT_EQ(Frame->TotalPercent, kFirst / 2 * 100 / (kFirst + kSecond));
  ASSERT_TRUE(Desktop.DispatchUntil([&] { return Frame->Idle(); }));
  EXPECT_FALSE(fs::exists(Install / "huge.pak")) << "a short body is never installed";
}

}  // namespace
}  // namespace varo

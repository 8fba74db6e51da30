#include "app/CDuiFrameWnd.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/headless/HeadlessDesktop.h"
#include "support/TempDir.h"

namespace varo {
namespace {

namespace fs = std::filesystem;
using platform::HeadlessDesktop;

// A window over a sample installation whose first server is never contacted:
// no test here delivers the tick that would start the list fetch, unless it
// marks the job as started first.
class FrameTest : public ::testing::Test {
 protected:
  FrameTest() {
    for (const char* icon : {"icon1.ico", "icon2.ico", "icon3.ico"}) {
      test::WriteFile(Install / "ADImage" / "Update" / icon, "icon");
    }
    test::WriteFile(Install / "ADImage" / "xxxxx_system.ini",
                    "[UpdateServer]\nserver1=http://127.0.0.1:9/Download/Update.xml\n");
    Frame = std::make_unique<CDuiFrameWnd>(Desktop, Desktop, Install.Path());
    EXPECT_TRUE(Desktop.Create(*Frame, "Varo更新程序"));
  }
  ~FrameTest() override {
    if (CInetFile* head = Frame->InetFiles.GetHead()) {
      fs::remove(head->LocalFile);
    }
  }

  // Keeps the queued list fetch from being started by a tick.
  void HoldListJob() { Frame->InetFiles.GetHead()->StartCount = 1; }

  void Progress(std::int32_t kind, std::uint32_t chunk, CInetFile* job) {
    Frame->HandleMessage(WM_INETFILE_PROGRESS, (static_cast<std::uintptr_t>(kind) << 16) | chunk,
                         reinterpret_cast<std::intptr_t>(job));
  }

  std::vector<std::string> TrayIconsShown() const {
    std::vector<std::string> icons;
    for (const auto& e : Desktop.EventsOf("tray")) {
      if (e.Name == "modify" && e.Value == platform::NIF_ICON) {
        icons.push_back(e.Extra);
      }
    }
    return icons;
  }

  test::TempDir Install;
  HeadlessDesktop Desktop;
  std::unique_ptr<CDuiFrameWnd> Frame;
};

TEST_F(FrameTest, CreationBuildsTheSkinTrayAndFirstJob) {
  EXPECT_EQ(Desktop.EventsOf("create").at(0).Name, "Varo更新程序");
  EXPECT_EQ(fs::path(Desktop.EventsOf("skin").at(0).Name),
            Install / "ADImage" / "Update" / "Varo.xml");
  const auto images = Desktop.EventsOf("image");
  ASSERT_EQ(images.size(), 2u);
  EXPECT_EQ(images[0].Name, "eachprogress");
  EXPECT_EQ(images[1].Name, "totalprogress");
  EXPECT_EQ(images[1].Text, "jd_m.jpg");
  EXPECT_EQ(Desktop.TimerId(), 1000u);
  EXPECT_EQ(Desktop.TimerPeriod(), 200u);

  const auto tray = Desktop.EventsOf("tray");
  ASSERT_EQ(tray.size(), 1u);
  EXPECT_EQ(tray[0].Name, "add");
  EXPECT_EQ(tray[0].Text, "正在自动更新");
  EXPECT_EQ(tray[0].Extra, "icon1.ico");
  EXPECT_EQ(tray[0].Value, platform::NIF_MESSAGE | platform::NIF_ICON | platform::NIF_TIP);
  EXPECT_FALSE(Desktop.Visible()) << "hidden until the modal run shows it";

  EXPECT_EQ(Desktop.TextsOf("progresslable"),
            (std::vector<std::string>{"正在连接获取服务器列表", "正在连接：更新服务器1"}));
  EXPECT_EQ(Frame->Servers.GetCount(), 2u);
  ASSERT_EQ(Frame->InetFiles.GetCount(), 1u);
  const CInetFile* job = Frame->InetFiles.GetHead();
  EXPECT_EQ(job->Kind, kInetFileList);
  EXPECT_EQ(job->URL, "http://127.0.0.1:9/Download/Update.xml");
  EXPECT_EQ(job->ServerName, "更新服务器1");
  EXPECT_EQ(job->StartCount, 0) << "the controller never starts a job itself";
  EXPECT_TRUE(job->LocalFile.filename().string().starts_with("Xml"));
  EXPECT_TRUE(fs::exists(job->LocalFile));
}

TEST_F(FrameTest, CaptionBandDragsExceptOnInteractiveControls) {
  // The headless window lies at (100, 50) with a caption band 40 high.
  struct Case {
    int X, Y;
    std::intptr_t Expected;
  };
  const Case cases[] = {
      {20, 10, platform::HTCAPTION},  // label in the band
      {5, 5, platform::HTCAPTION},    // background in the band
      {450, 10, platform::HTCLIENT},  // the close button
      {310, 10, platform::HTCLIENT},  // an option
      {370, 10, platform::HTCLIENT},  // a text control
      {20, 60, platform::HTCLIENT},   // below the band
      {20, 40, platform::HTCLIENT},   // the band's bottom edge is outside
      {-5, 10, platform::HTCLIENT},   // left of the window
      {480, 10, platform::HTCLIENT},  // right of the window
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.X) + "," + std::to_string(c.Y));
    EXPECT_EQ(
        Frame->HandleMessage(platform::WM_NCHITTEST, 0, platform::PackPoint({c.X + 100, c.Y + 50})),
        c.Expected);
  }
}

TEST_F(FrameTest, CloseButtonClosesAtOnceWithoutStartingTheClient) {
  platform::Control* close = Desktop.FindControl("closebtn");
  platform::Control* label = Desktop.FindControl("infolable");
  Frame->Notify("click", *label);
  Frame->Notify("hover", *close);
  EXPECT_EQ(Desktop.PendingMessages(), 0u);
  Frame->Notify("click", *close);
  ASSERT_EQ(Desktop.PendingMessages(), 1u);

  Frame->HandleMessage(WM_TRAYICON, 0, 0x201);  // a click on the tray icon: nothing
  EXPECT_EQ(Desktop.EventsOf("tray").size(), 1u);

  EXPECT_TRUE(Desktop.DispatchOne());
  EXPECT_TRUE(Desktop.IsDestroyed());
  EXPECT_FALSE(Frame->TrayIconShown);
  EXPECT_TRUE(Desktop.LoadedIcons().empty()) << "the frames are destroyed with the icon";
  EXPECT_EQ(Desktop.EventsOf("tray").back().Name, "delete");
  EXPECT_TRUE(Desktop.Starts().empty());

  // A second WM_CLOSE finds the icon gone and removes nothing.
  Frame->HandleMessage(platform::WM_CLOSE, 0, 0);
  EXPECT_EQ(Desktop.EventsOf("tray").size(), 2u);
}

TEST_F(FrameTest, CheckingSequenceTickByTick) {
  HoldListJob();
  // While the list is on its way the sequence waits at its first step, for
  // however long that takes.
  for (int i = 0; i < 20; ++i) {
    Desktop.Tick();
  }
  EXPECT_EQ(Desktop.ValuesOf("totalprogress"), std::vector<std::int64_t>(20, 0));
  EXPECT_EQ(Desktop.TextsOf("infolable"), std::vector<std::string>(20, "正在检测"));
  EXPECT_TRUE(Desktop.Starts().empty());
  EXPECT_EQ(Desktop.PendingMessages(), 0u);

  // The list has been handled and queued nothing: now it counts.
  Frame->ListHandled = true;
  Frame->InetFiles.Remove(Frame->InetFiles.GetHead());
  struct Tick {
    std::int64_t Bar;  // -1: bars untouched
    std::vector<std::string> Info;
    std::vector<std::string> Summary;
    bool Ends;
  };
  const std::vector<Tick> ticks{
      {0, {"正在检测"}, {}, false},
      {20, {"正在检测"}, {}, false},
      {40, {"正在检测"}, {}, false},
      {60, {"正在检测"}, {}, false},
      {80, {"正在检测"}, {}, false},
      {100, {"正在检测", "检测完毕"}, {"你当前的版本是最新的"}, false},
      {-1, {}, {}, false},
      {-1, {}, {}, false},
      {-1, {}, {}, true},
  };
  for (std::size_t i = 0; i < ticks.size(); ++i) {
    SCOPED_TRACE("tick " + std::to_string(i + 1));
    Desktop.Events.clear();
    Desktop.Tick();
    const Tick& t = ticks[i];
    const std::vector<std::int64_t> bars =
        t.Bar < 0 ? std::vector<std::int64_t>{} : std::vector<std::int64_t>{t.Bar};
    EXPECT_EQ(Desktop.ValuesOf("eachprogress"), bars);
    EXPECT_EQ(Desktop.ValuesOf("totalprogress"), bars);
    EXPECT_EQ(Desktop.TextsOf("infolable"), t.Info);
    EXPECT_EQ(Desktop.TextsOf("progresslable"), t.Summary);
    EXPECT_TRUE(Desktop.TextsOf("eachprogress").empty()) << "percent texts stay";
    EXPECT_EQ(Desktop.Starts().size(), t.Ends ? 1u : 0u);
    EXPECT_EQ(Desktop.PendingMessages(), t.Ends ? 1u : 0u);
  }
  EXPECT_EQ(Desktop.Starts().at(0), (platform::StartRequest{"Tandrel.exe", "", "open"}));
  EXPECT_TRUE(Desktop.DispatchOne());
  EXPECT_TRUE(Desktop.IsDestroyed());
}

TEST_F(FrameTest, DownloadDisplayTexts) {
  HoldListJob();
  Frame->FileCount = 3;
  Frame->TotalBytes = 1023;
  Frame->Speed = 1023;
  Frame->FilePercent = 7;
  Frame->TotalPercent = 250;
  Desktop.Tick();
  EXPECT_EQ(Desktop.CurrentText("progresslable"), "正在下载(3/3) 0KB/秒 总大小0KB");
  EXPECT_EQ(Desktop.CurrentText("eachprogress"), "7%");
  EXPECT_EQ(Desktop.CurrentText("totalprogress"), "250%");
  EXPECT_EQ(Desktop.ValuesOf("eachprogress").back(), 7);
  EXPECT_EQ(Desktop.ValuesOf("totalprogress").back(), 250);

  for (int i = 0; i < 2; ++i) {
    auto queued = std::make_unique<CInetFile>();
    queued->StartCount = 1;
    Frame->InetFiles.Add(std::move(queued));
  }
  Frame->Speed = 35 * 1024 + 1023;
  Frame->TotalBytes = 1234 * 1024 + 5;
  Desktop.Tick();
  EXPECT_EQ(Desktop.CurrentText("progresslable"), "正在下载(1/3) 35KB/秒 总大小1234KB");
  EXPECT_EQ(Frame->CheckTicks, 0) << "the checking sequence does not run while downloading";
  EXPECT_TRUE(Desktop.Starts().empty());
}

TEST_F(FrameTest, ProgressCountersAreExactAndUncapped) {
  CInetFile file;
  file.Kind = kInetFileData;
  file.ExpectedLength = 50'000'000;
  file.BytesReceived = 25'000'000;
  Frame->TotalBytes = 4'000'000'000u;

  Desktop.Clock = 999;  // under a second since process start: no sample yet
  Progress(kInetFileData, 1024, &file);
  EXPECT_EQ(Frame->FilePercent, 50u);
  EXPECT_EQ(Frame->DownloadedBytes, 1024u);
  EXPECT_EQ(Frame->TotalPercent, 0u);
  EXPECT_EQ(Frame->Speed, 0);

  // The first sample measures from process start and takes every byte since.
  Desktop.Clock = 2000;
  Progress(kInetFileData, 3072, &file);
  EXPECT_EQ(Frame->Speed, 2048);
  // Within the next second the rate stays; those bytes count in the next sample.
  Desktop.Clock = 2001;
  Progress(kInetFileData, 1000, &file);
  EXPECT_EQ(Frame->Speed, 2048);
  Desktop.Clock = 4000;
  Progress(kInetFileData, 1048, &file);
  EXPECT_EQ(Frame->Speed, 1024);

  // Beyond the expected sizes the percentages go above 100.
  file.BytesReceived = 75'000'000;
  Frame->TotalBytes = 1024;
  Progress(kInetFileData, 1024, &file);
  EXPECT_EQ(Frame->FilePercent, 150u);
  EXPECT_EQ(Frame->DownloadedBytes, 7u * 1024);
  EXPECT_EQ(Frame->TotalPercent, 700u);

  // The list fetch moves the file percentage only.
  CInetFile list;
  list.Kind = kInetFileList;
  list.ExpectedLength = 4'000'000'000u;
  list.BytesReceived = 3'000'000'000u;
  const auto before = Frame->DownloadedBytes;
  Desktop.Clock = 90000;
  Progress(kInetFileList, 1024, &list);
  EXPECT_EQ(Frame->FilePercent, 75u);
  EXPECT_EQ(Frame->DownloadedBytes, before);
  EXPECT_EQ(Frame->Speed, 1024);

  // 64-bit counts: a file past 4 GiB, a run past 2^32 bytes.
  CInetFile huge;
  huge.Kind = kInetFileData;
  huge.ExpectedLength = std::uint64_t{5} << 30;
  huge.BytesReceived = (std::uint64_t{5} << 30) / 4 * 3;
  Frame->TotalBytes = std::uint64_t{10} << 30;
  Frame->DownloadedBytes = (std::uint64_t{9} << 30) - 1024;
  Progress(kInetFileData, 1024, &huge);
  EXPECT_EQ(Frame->FilePercent, 75u);
  EXPECT_EQ(Frame->TotalPercent, 90u);
  EXPECT_EQ(Frame->DownloadedBytes, std::uint64_t{9} << 30);
  Frame->DownloadedBytes = before;

  // No expected length, no total: those values stay.
  CInetFile unsized;
  unsized.Kind = kInetFileData;
  Frame->TotalBytes = 0;
  Progress(kInetFileData, 10, &unsized);
  EXPECT_EQ(Frame->FilePercent, 75u);
  EXPECT_EQ(Frame->TotalPercent, 90u);
  EXPECT_EQ(Frame->DownloadedBytes, before + 10);
}

TEST_F(FrameTest, RateStaysTrueUnderBurstyDelivery) {
  // 200 KiB/s paced as 20 KiB bursts every 100 ms; the chunks of one burst
  // arrive within two milliseconds.
  CInetFile file;
  file.Kind = kInetFileData;
  Frame->TotalBytes = 4'000'000'000u;
  constexpr double kTrueRate = 200.0 * 1024;
  std::vector<std::int32_t> readouts;
  for (std::int32_t burst = 0; burst < 100; ++burst) {
    for (int chunk = 0; chunk < 20; ++chunk) {
      Desktop.Clock = 37 + burst * 100 + chunk / 10;
      Progress(kInetFileData, 1024, &file);
    }
    readouts.push_back(Frame->Speed);  // what the next tick would show
  }
  for (std::size_t i = 10; i < readouts.size(); ++i) {
    SCOPED_TRACE("burst " + std::to_string(i));
    EXPECT_NEAR(readouts[i], kTrueRate, kTrueRate / 4);
  }
}

#ifndef _WIN32
// A process limit (setrlimit) and the change of user are POSIX's.
// A whole run whose list fetch cannot get a thread, in a process that may
// create none. 0 when it took the list-failure path; otherwise the step that
// went wrong.
int RunWithoutThreads(const fs::path& install) {
  // The list's temporary file goes where the unprivileged process may
  // remove it.
  const fs::path temporary = install / "tmp";
  fs::create_directory(temporary);
  fs::permissions(temporary, fs::perms::all);
  ::setenv("TMPDIR", temporary.c_str(), 1);  // NOLINT(concurrency-mt-unsafe): one thread
  // A server that accepts connections and never answers: a fetch that did
  // get a thread would never complete.
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::listen(listener, 4) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    return 9;
  }
  test::WriteFile(install / "ADImage" / "xxxxx_system.ini",
                  "[UpdateServer]\nserver1=http://127.0.0.1:" +
                      std::to_string(ntohs(address.sin_port)) + "/Update.xml\n");
  HeadlessDesktop desktop;
  CDuiFrameWnd frame(desktop, desktop, install);
  desktop.Create(frame, "Varo更新程序");
  // Root is exempt from the process limit: become nobody first.
  const rlimit none{0, 0};
  if (::setrlimit(RLIMIT_NPROC, &none) != 0 ||
      (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))) {
    return 10;
  }
  desktop.Tick();
  if (frame.InetFiles.GetHead()->StartCount != 1 || frame.RunningJobs != 1 ||
      desktop.PendingMessages() != 1) {
    return 11;
  }
  if (!desktop.DispatchOne() || frame.RunningJobs != 0) {
    return 12;
  }
  const auto boxes = desktop.EventsOf("box");
  if (boxes.size() != 1 || boxes[0].Text != "连接服务器失败, 请检查网络或联系管理员") {
    return 13;
  }
  if (desktop.Starts().size() != 1 || !desktop.DispatchOne() || !desktop.IsDestroyed()) {
    return 14;
  }
  return fs::exists(frame.ListFile) ? 15 : 0;
}

TEST_F(FrameTest, AJobWithoutAThreadFailsLikeADownload) {
  EXPECT_EXIT(std::_Exit(RunWithoutThreads(Install.Path())), ::testing::ExitedWithCode(0), "");
}
#endif

TEST_F(FrameTest, TrayAnimatesPerNotificationAndSetsItsTipOnce) {
  CInetFile file;
  Progress(kInetFileData, 1, nullptr);  // ignored entirely
  EXPECT_EQ(Desktop.EventsOf("tray").size(), 1u);

  for (int i = 0; i < 4; ++i) {
    Progress(kInetFileData, 1, &file);
  }
  EXPECT_EQ(TrayIconsShown(),
            (std::vector<std::string>{"icon2.ico", "icon3.ico", "icon1.ico", "icon2.ico"}));
  std::vector<std::string> tips;
  for (const auto& e : Desktop.EventsOf("tray")) {
    if (e.Value == platform::NIF_TIP) {
      tips.push_back(e.Text);
    }
  }
  EXPECT_EQ(tips, std::vector<std::string>{"Varo正在更新程序,请勿退出"});
  EXPECT_EQ(Desktop.LoadedIcons().size(), 3u) << "each frame is loaded once";

  // After the icon is gone a late notification counts but does not bring it back.
  Frame->HandleMessage(platform::WM_CLOSE, 0, 0);
  const auto trayCalls = Desktop.EventsOf("tray").size();
  Frame->TotalBytes = 100;
  Progress(kInetFileData, 50, &file);
  EXPECT_EQ(Desktop.EventsOf("tray").size(), trayCalls);
  EXPECT_TRUE(Desktop.LoadedIcons().empty());
  EXPECT_EQ(Frame->TotalPercent, 54u);
}

TEST(FrameWithoutSkinControls, RunsWithMissingControls) {
  test::TempDir install;
  HeadlessDesktop desktop;
  for (const char* name : {"infolable", "eachprogress", "totalprogress", "progresslable"}) {
    desktop.RemoveControl(name);
  }
  CDuiFrameWnd frame(desktop, desktop, install.Path());
  desktop.Create(frame, "Varo更新程序");
  frame.InetFiles.GetHead()->StartCount = 1;
  frame.ListHandled = true;  // as if the list had queued nothing
  frame.InetFiles.Remove(frame.InetFiles.GetHead());
  for (int i = 0; i < 9; ++i) {
    desktop.Tick();
  }
  EXPECT_EQ(desktop.Starts().size(), 1u) << "the run still ends with the client";
}

}  // namespace
}  // namespace varo

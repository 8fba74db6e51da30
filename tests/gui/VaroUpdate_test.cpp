// The real program, varo-update, on a virtual display against a local
// server: it updates a sample installation and starts the client, its
// window can be dragged by the caption band and closed mid-download, a
// signal to end closes it the same way, and a broken skin does not stop it.
#include <gtest/gtest.h>

#if defined(VARO_GUI_TESTS) && defined(VARO_UPDATE_PROGRAM)

#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/GtkEnvironment.h"
#include "support/SampleInstallation.h"
#include "support/Subprocess.h"
#include "support/TempDir.h"
#include "support/TestHttpServer.h"
#include "support/XTools.h"
#ifdef VARO_DEMO_SERVER
#include "tools/demo/FolderServer.h"
#endif

namespace varo {
namespace {

using namespace std::chrono_literals;
using gui_test::Bytes;
using gui_test::Entry;
using gui_test::GtkEnvironment;
using gui_test::Installation;
using gui_test::Subprocess;

const auto* const kDisplay = ::testing::AddGlobalTestEnvironment(new GtkEnvironment);
const std::string kTitle = "Varo更新程序";

class VaroUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(GtkEnvironment::Ready()) << "no virtual display"; }

  // The program's window once it is on the screen.
  static std::optional<gui_test::WindowInfo> AwaitWindow(Subprocess& program) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline && program.Running()) {
      if (const auto windows = gui_test::FindWindows(kTitle); !windows.empty()) {
        return windows.front();
      }
      std::this_thread::sleep_for(50ms);
    }
    return std::nullopt;
  }

  // Waits until a file has reached a size (a download under way).
  static bool AwaitSize(const std::filesystem::path& file, std::uintmax_t size) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    std::error_code error;
    while (std::chrono::steady_clock::now() < deadline) {
      if (std::filesystem::exists(file, error) && std::filesystem::file_size(file, error) >= size) {
        return true;
      }
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }

  test::TestHttpServer Server;
};

TEST_F(VaroUpdateTest, UpdatesTheInstallationShowingItsWindowAndStartsTheClient) {
  const std::string nested = Bytes(300 * 1024, 'a');
  const std::string top = Bytes(40 * 1024, 'b');
  Server.Serve("/files/data/maps/world.dat", nested);
  // The second file stalls after its first half until the window has been
  // looked at, so that the picture shows a download under way.
  Server.StallAfter("/files/client.cfg", top, top.size() / 2);
  Server.Serve("/Download/Update.xml",
               "<?xml version=\"1.0\" encoding=\"utf-8\"?><UpdateList>" +
                   Entry("world.dat", "data\\maps", nested.size(),
                         Server.Url("/files/data/maps/world.dat")) +
                   Entry("client.cfg", "", top.size(), Server.Url("/files/client.cfg")) +
                   "</UpdateList>");
  Installation installation(Server.Url("/Download/Update.xml"));
  auto program = installation.Run();

  const auto window = AwaitWindow(*program);
  ASSERT_TRUE(window) << installation.Log();
  EXPECT_EQ(window->Width, 520);
  EXPECT_EQ(window->Height, 280);
  EXPECT_EQ(window->X, (GtkEnvironment::Display().GetWidth() - 520) / 2);
  EXPECT_EQ(window->Y, (GtkEnvironment::Display().GetHeight() - 280) / 2);

  ASSERT_TRUE(AwaitSize(installation / "client.cfg.update", top.size() / 2));
  // The next ticks show the counters: the current bar fills to half.
  const auto shot = std::filesystem::path(VARO_GUI_OUTPUT_DIR) / "varo-update-during.png";
  std::optional<gui_test::Picture> picture;
  const auto at = [&](int x, int y) { return picture->At(window->X + x, window->Y + y); };
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  do {
    ASSERT_TRUE(gui_test::SaveScreenshot(shot));
    picture = gui_test::Picture::Load(shot);
    ASSERT_TRUE(picture);
  } while ((at(28 + 200, 125).B < 180 || at(28 + 440, 125).B >= 60) &&
           std::chrono::steady_clock::now() < deadline);
  // Every text on show is drawn from the skin's own fonts: the desktop's
  // CJK fonts, some 20 MB each, are never opened.
  const std::string maps = gui_test::ReadFile("/proc/" + std::to_string(program->Pid()) + "/maps");
  EXPECT_NE(maps.find("/ADImage/Update/VaroSans-Regular.otf"), std::string::npos);
  EXPECT_NE(maps.find("/ADImage/Update/VaroSans-Bold.otf"), std::string::npos);
  EXPECT_EQ(maps.find("NotoSansCJK"), std::string::npos);
  Server.Release();

  EXPECT_EQ(program->Wait(60s), 0) << installation.Log();
  EXPECT_EQ(gui_test::ReadFile(installation / "data/maps/world.dat"), nested);
  EXPECT_EQ(gui_test::ReadFile(installation / "client.cfg"), top);
  EXPECT_TRUE(installation.ClientStarted()) << installation.Log();
  EXPECT_TRUE(gui_test::FindWindows(kTitle, false).empty());

  // The picture: the window's rows of text and its bars are drawn.
  EXPECT_GT(picture->Colours(window->X + 28, window->Y + 62, 300, 22), 20u) << "the status line";
  EXPECT_GT(picture->Colours(window->X + 28, window->Y + 198, 300, 20), 20u) << "the summary";
  EXPECT_GT(picture->Colours(window->X + 52, window->Y + 10, 200, 24), 20u) << "the title";
  // Half of the second file: the current bar is filled to the middle, not
  // to its end.
  EXPECT_GT(at(28 + 200, 125).B, 180);
  EXPECT_LT(at(28 + 440, 125).B, 60);
}

// The user drags the window by its caption band (and not by its body),
// then closes it while a download hangs: the program ends at once with 0,
// the download is dropped and the client is not started.
TEST_F(VaroUpdateTest, DragsByTheCaptionAndClosesMidDownloadWithoutStartingTheClient) {
  const std::string old = "the installed version";
  const std::string body = Bytes(256 * 1024, 'c');
  Server.StallAfter("/files/big.pak", body, 64 * 1024);
  Server.Serve("/Download/Update.xml",
               "<UpdateList>" + Entry("big.pak", "", body.size(), Server.Url("/files/big.pak")) +
                   "</UpdateList>");
  Installation installation(Server.Url("/Download/Update.xml"));
  test::WriteFile(installation / "big.pak", old);
  auto program = installation.Run();
  const auto window = AwaitWindow(*program);
  ASSERT_TRUE(window) << installation.Log();
  ASSERT_TRUE(AwaitSize(installation / "big.pak.update", 64 * 1024)) << installation.Log();

  const struct {
    const char* Where;
    int X;
    int Y;
    bool Moves;
  } drags[] = {
      {"the title in the caption band", 150, 22, true},
      {"the status line below the band", 150, 72, false},
      {"the bar below the band", 150, 125, false},
  };
  for (const auto& drag : drags) {
    SCOPED_TRACE(drag.Where);
    const auto before = *gui_test::DescribeWindow(window->Id);
    const int x = before.X + drag.X;
    const int y = before.Y + drag.Y;
    ASSERT_TRUE(gui_test::XdoTool({"mousemove", "--sync", std::to_string(x), std::to_string(y)}));
    // The display hands the program the press and the moves in order.
    ASSERT_TRUE(gui_test::XdoTool({"mousedown", "1"}));
    for (int step = 1; step <= 4; ++step) {
      ASSERT_TRUE(gui_test::XdoTool(
          {"mousemove", "--sync", std::to_string(x - 10 * step), std::to_string(y + 12 * step)}));
    }
    ASSERT_TRUE(gui_test::XdoTool({"mouseup", "1"}));
    const int expectedX = before.X + (drag.Moves ? -40 : 0);
    const int expectedY = before.Y + (drag.Moves ? 48 : 0);
    // A move shows as soon as the program has followed the pointer; a
    // window that stays gets a moment to prove it.
    auto after = *gui_test::DescribeWindow(window->Id);
    const auto deadline = std::chrono::steady_clock::now() + (drag.Moves ? 5s : 500ms);
    while (std::chrono::steady_clock::now() < deadline &&
           !(drag.Moves && after.X == expectedX && after.Y == expectedY)) {
      std::this_thread::sleep_for(20ms);
      after = *gui_test::DescribeWindow(window->Id);
    }
    EXPECT_EQ(after.X, expectedX);
    EXPECT_EQ(after.Y, expectedY);
  }

  const auto now = *gui_test::DescribeWindow(window->Id);
  ASSERT_TRUE(gui_test::XdoTool({"mousemove", "--sync", std::to_string(now.X + 496),
                                 std::to_string(now.Y + 22), "click", "1"}));
  EXPECT_EQ(program->Wait(15s), 0) << "the program did not end on its close button\n"
                                   << installation.Log();
  EXPECT_FALSE(installation.ClientStarted());
  EXPECT_EQ(gui_test::ReadFile(installation / "big.pak"), old) << "nothing was installed";
  EXPECT_EQ(Server.RequestCount("/files/big.pak"), 1u);
}

// Asked to end by a signal (the session ending, its terminal closed, Ctrl+C)
// while the list is on its way, the program ends as by its close button:
// with 0, its temporary files gone, the client not started.
TEST_F(VaroUpdateTest, ASignalToEndClosesTheRunAndLeavesNoTemporaryFiles) {
  Server.StallBeforeResponse("/Download/Update.xml", "<UpdateList></UpdateList>");
  std::size_t asked = 0;
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal);
    test::TempDir temporary;
    Installation installation(Server.Url("/Download/Update.xml"));
    auto program = installation.Run("varo-update.log", {{"TMPDIR", temporary.Path().string()}});
    ASSERT_TRUE(AwaitWindow(*program)) << installation.Log();
    ASSERT_TRUE(Server.WaitForRequests("/Download/Update.xml", ++asked, 20s)) << installation.Log();
    program->Kill(signal);
    EXPECT_EQ(program->Wait(15s), 0) << installation.Log();
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(temporary.Path())) {
      left.push_back(entry.path().filename().string());
    }
    EXPECT_TRUE(left.empty()) << "left in the temporary folder: " << ::testing::PrintToString(left);
    EXPECT_FALSE(installation.ClientStarted());
  }
}

// Two runs on one installation: the second, started while the first waits
// for its update list, ends at once with 0 without a request, a file or a
// client start, and the first goes on to update and start the client once.
TEST_F(VaroUpdateTest, ASecondRunEndsAtOnceAndLeavesTheInstallationToTheFirst) {
  const std::string body = Bytes(std::size_t{20} * 1024, 'e');
  Server.Serve("/files/game.dat", body);
  Server.StallBeforeResponse("/Download/Update.xml",
                             "<UpdateList>" +
                                 Entry("game.dat", "", body.size(), Server.Url("/files/game.dat")) +
                                 "</UpdateList>");
  Installation installation(Server.Url("/Download/Update.xml"));
  auto first = installation.Run();
  ASSERT_TRUE(Server.WaitForRequests("/Download/Update.xml", 1, 20s)) << installation.Log();
  const auto before = installation.Contents();

  auto second = installation.Run("second.log");
  EXPECT_EQ(second->Wait(15s), 0) << installation.Log("second.log");
  EXPECT_EQ(Server.Requests().size(), 1u);
  EXPECT_EQ(installation.Contents(), before);
  EXPECT_FALSE(installation.ClientStarted());
  EXPECT_NE(installation.Log("second.log").find("another run"), std::string::npos)
      << installation.Log("second.log");
  EXPECT_TRUE(first->Running()) << installation.Log();

  Server.Release();
  EXPECT_EQ(first->Wait(60s), 0) << installation.Log();
  EXPECT_EQ(gui_test::ReadFile(installation / "game.dat"), body);
  EXPECT_EQ(gui_test::ReadFile(installation / "client-started.log"), "started\n");
  EXPECT_EQ(Server.RequestCount("/Download/Update.xml"), 1u);
}

#ifdef VARO_DEMO_SERVER
// A download over the loopback as fast as it goes: hundreds of thousands of
// progress notifications, yet the window keeps showing new counters tick
// after tick until the end.
TEST_F(VaroUpdateTest, WindowStaysLiveThroughAFastLoopbackDownload) {
  test::TempDir site;
  constexpr std::uintmax_t kSize = 1024ull * 1024 * 1024;
  std::filesystem::create_directories(site / "files");
  { std::ofstream(site / "files" / "huge.pak"); }
  std::filesystem::resize_file(site / "files" / "huge.pak", kSize);  // sparse: quick to serve
  demo::FolderServer folder(site.Path(), {});
  const int port = folder.Start();
  ASSERT_GT(port, 0);
  const std::string base = "http://127.0.0.1:" + std::to_string(port);
  test::WriteFile(
      site / "Download" / "Update.xml",
      "<UpdateList>" + Entry("huge.pak", "", kSize, base + "/files/huge.pak") + "</UpdateList>");
  Installation installation(base + "/Download/Update.xml");
  auto program = installation.Run();
  const auto window = AwaitWindow(*program);
  ASSERT_TRUE(window) << installation.Log();
  ASSERT_TRUE(AwaitSize(installation / "huge.pak.update", 1));

  // The summary row (count, rate, size) and the bars, as the screen shows
  // them, one picture after another while the file comes in.
  std::vector<std::string> rows;
  const auto shot = std::filesystem::path(VARO_GUI_OUTPUT_DIR) / "varo-update-flood.png";
  std::error_code error;
  while (program->Running() && std::filesystem::exists(installation / "huge.pak.update", error) &&
         std::filesystem::file_size(installation / "huge.pak.update", error) < kSize * 9 / 10) {
    const auto before = std::chrono::steady_clock::now();
    if (!gui_test::SaveScreenshot(shot)) {
      break;
    }
    const auto picture = gui_test::Picture::Load(shot);
    ASSERT_TRUE(picture);
    std::string row;
    for (int y = 116; y < 222; ++y) {
      for (int x = 28; x < 492; ++x) {
        const auto c = picture->At(window->X + x, window->Y + y);
        row += static_cast<char>(c.R ^ c.G ^ c.B);
      }
    }
    rows.push_back(row);
    // At least two ticks between pictures.
    while (std::chrono::steady_clock::now() - before < 450ms) {
      std::this_thread::yield();
    }
  }
  EXPECT_EQ(program->Wait(120s), 0) << installation.Log();
  EXPECT_EQ(std::filesystem::file_size(installation / "huge.pak"), kSize);
  EXPECT_TRUE(installation.ClientStarted());
  RecordProperty("pictures", static_cast<int>(rows.size()));
  if (rows.size() < 3) {
    GTEST_SKIP() << "the download was over too soon to watch";
  }
  int unchanged = 0;
  for (std::size_t i = 1; i < rows.size(); ++i) {
    unchanged += rows[i] == rows[i - 1] ? 1 : 0;
  }
  EXPECT_LE(unchanged, 1) << "of " << rows.size() << " pictures, " << unchanged
                          << " showed nothing new";
}
#endif

TEST_F(VaroUpdateTest, BrokenSkinStillUpdates) {
  const std::string body = Bytes(10 * 1024, 'd');
  Server.Serve("/files/game.dat", body);
  Server.Serve("/Download/Update.xml",
               "<UpdateList>" + Entry("game.dat", "", body.size(), Server.Url("/files/game.dat")) +
                   "</UpdateList>");
  Installation installation(Server.Url("/Download/Update.xml"));
  test::WriteFile(installation / "ADImage/Update/Varo.xml", "<Skin><Window><Size>1,1</Size>");
  auto program = installation.Run();
  EXPECT_EQ(program->Wait(60s), 0) << installation.Log();
  EXPECT_EQ(gui_test::ReadFile(installation / "game.dat"), body);
  EXPECT_TRUE(installation.ClientStarted());
  const std::string log = installation.Log();
  EXPECT_NE(log.find("Varo.xml: cannot be read"), std::string::npos) << log;
  EXPECT_NE(log.find("built-in layout"), std::string::npos) << log;
}

}  // namespace
}  // namespace varo

#else

TEST(VaroUpdateTest, NeedsTheDesktopProgram) {
  GTEST_SKIP() << "built without the GTK front-end";
}

#endif

#include <gtest/gtest.h>

#ifdef VARO_GUI_TESTS

#include <gtk/gtk.h>

#include <atomic>
#include <fstream>
#include <map>
#include <thread>

#include "platform/SkinFile.h"
#include "platform/linux/gtk/GtkSkinWindow.h"
#include "platform/linux/gtk/SkinStyleSheet.h"
#include "support/GtkEnvironment.h"
#include "support/TempDir.h"
#include "support/XTools.h"

namespace varo::platform {
namespace {

using gui_test::GtkEnvironment;
using gui_test::IterateUntil;
using namespace std::chrono_literals;

const auto* const kGtk = ::testing::AddGlobalTestEnvironment(new GtkEnvironment);

const std::filesystem::path kShippedSkin = std::filesystem::path(VARO_SKIN_SOURCE_DIR) / "Varo.xml";
const std::string kTitle = "Varo更新程序";
constexpr std::uint32_t kPosted = 0x8001;

// A window handler as the updater's is: it loads the skin in WM_CREATE,
// answers the hit test by the caption band and the control classes, and
// closes on the close button. Tests add their own reactions.
class TestHandler : public WindowHandler {
 public:
  TestHandler(GtkSkinWindow& window, std::filesystem::path skin)
      : Window(window), SkinFile(std::move(skin)) {}

  std::intptr_t HandleMessage(std::uint32_t message, std::uintptr_t wParam,
                              std::intptr_t lParam) override {
    Messages.push_back({message, wParam, lParam});
    if (message == WM_CREATE) {
      InsideCreate = true;
      Window.LoadSkin(SkinFile);
      Window.ShowWindow(false);
      return 0;
    }
    if (OnMessage) {
      if (const auto result = OnMessage(message, wParam, lParam)) {
        return *result;
      }
    }
    if (message == WM_NCHITTEST) {
      return HitTest(UnpackPoint(lParam));
    }
    return Window.DefaultHandle(message, wParam, lParam);
  }

  void Notify(std::string_view type, Control& sender) override {
    Clicks.push_back(std::string(type) + ":" + sender.GetName());
    if (type == "click" && sender.GetName() == "closebtn") {
      Window.Post({WM_CLOSE, 0, 0});
    }
  }

  std::intptr_t HitTest(Point screen) {
    ++HitTests;
    const Point p = Window.ScreenToClient(screen);
    const Rect client = Window.GetClientRect();
    const Rect band = Window.GetCaptionInsets();
    if (p.X < client.Left + band.Left || p.X >= client.Right - band.Right || p.Y < band.Top ||
        p.Y >= band.Bottom) {
      return HTCLIENT;
    }
    Control* control = Window.FindControlAt(p);
    if (control == nullptr || control->GetClass() == "ButtonUI" ||
        control->GetClass() == "OptionUI" || control->GetClass() == "TextUI") {
      return HTCLIENT;
    }
    return HTCAPTION;
  }

  std::size_t Count(std::uint32_t id) const {
    return static_cast<std::size_t>(std::count_if(Messages.begin(), Messages.end(),
                                                  [&](const Message& m) { return m.Id == id; }));
  }

  GtkSkinWindow& Window;
  const std::filesystem::path SkinFile;
  std::function<std::optional<std::intptr_t>(std::uint32_t, std::uintptr_t, std::intptr_t)>
      OnMessage;
  std::vector<Message> Messages;
  std::vector<std::string> Clicks;
  bool InsideCreate = false;
  int HitTests = 0;
};

class GtkSkinWindowTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(GtkEnvironment::Ready()) << "no virtual display"; }

  // Creates the window with the shipped skin, centred and shown, and waits
  // until the display shows it.
  void Open(const std::filesystem::path& skin = kShippedSkin) {
    Handler = std::make_unique<TestHandler>(Window, skin);
    ASSERT_TRUE(Window.Create(*Handler, kTitle));
    Window.CenterWindow();
    Window.ShowWindow(true);
    ASSERT_TRUE(IterateUntil([&] {
      GtkWidget* widget = Window.GetWidget();
      return widget != nullptr && gtk_widget_get_mapped(widget) &&
             !gui_test::FindWindows(kTitle).empty();
    }));
    gui_test::IterateFor(200ms);  // first frame drawn
  }

  gui_test::WindowInfo OnScreen() {
    const auto windows = gui_test::FindWindows(kTitle);
    EXPECT_EQ(windows.size(), 1u);
    return windows.empty() ? gui_test::WindowInfo{} : windows.front();
  }

  std::string Screenshot(const std::string& name) {
    const auto file = std::filesystem::path(VARO_GUI_OUTPUT_DIR) / (name + ".png");
    EXPECT_TRUE(gui_test::SaveScreenshot(file));
    return file.string();
  }

  // xdotool drives the pointer; the window sees each step before the next.
  void Pointer(const std::vector<std::string>& command) {
    ASSERT_TRUE(gui_test::XdoTool(command));
    gui_test::IterateFor(100ms);
  }

  GtkSkinWindow Window;
  std::unique_ptr<TestHandler> Handler;
};

TEST_F(GtkSkinWindowTest, StyleSheetsOfTheShippedAndBuiltInSkinsParse) {
  std::vector<std::string> problems;
  const auto shipped = ReadSkinFile(kShippedSkin, problems);
  ASSERT_TRUE(shipped) << ::testing::PrintToString(problems);
  EXPECT_TRUE(problems.empty()) << ::testing::PrintToString(problems);
  for (const auto& [name, skin] : {std::pair{"shipped", *shipped}, {"built-in", BuiltInSkin()}}) {
    GtkCssProvider* provider = gtk_css_provider_new();
    std::vector<std::string> errors;
    g_signal_connect(provider, "parsing-error",
                     G_CALLBACK(+[](GtkCssProvider*, GtkCssSection*, GError* error, gpointer out) {
                       static_cast<std::vector<std::string>*>(out)->push_back(error->message);
                     }),
                     &errors);
    const std::string css = MakeSkinStyleSheet(skin, kShippedSkin.parent_path());
    gtk_css_provider_load_from_data(provider, css.c_str(), -1, nullptr);
    EXPECT_TRUE(errors.empty()) << name << ": " << ::testing::PrintToString(errors) << "\n" << css;
    g_object_unref(provider);
  }
}

TEST_F(GtkSkinWindowTest, ShippedSkinPlacesEveryControlAndShowsTheBarsFill) {
  ASSERT_NO_FATAL_FAILURE(Open());
  EXPECT_FALSE(Window.UsesBuiltInSkin());
  EXPECT_FALSE(gtk_window_get_decorated(GTK_WINDOW(Window.GetWidget())));

  std::vector<std::string> problems;
  const Skin skin = *ReadSkinFile(kShippedSkin, problems);
  for (const SkinControl& spec : skin.Controls) {
    auto* control = dynamic_cast<GtkSkinControl*>(Window.FindControl(spec.Name));
    ASSERT_NE(control, nullptr) << spec.Name;
    EXPECT_EQ(control->GetClass(), spec.Class);
    GtkAllocation place{};
    gtk_widget_get_allocation(control->GetWidget(), &place);
    // The theme's minimum sizes and margins must not move or stretch it.
    EXPECT_EQ(place.x, spec.Pos.Left) << spec.Name;
    EXPECT_EQ(place.y, spec.Pos.Top) << spec.Name;
    EXPECT_EQ(place.width, spec.Pos.Right - spec.Pos.Left) << spec.Name;
    EXPECT_EQ(place.height, spec.Pos.Bottom - spec.Pos.Top) << spec.Name;
  }
  Control* closeButton = Window.FindControl("closebtn");
  EXPECT_EQ(Window.FindControlAt({490, 20}), closeButton);
  EXPECT_EQ(Window.FindControlAt({100, 20})->GetName(), "title");
  EXPECT_EQ(Window.FindControlAt({5, 100}), nullptr);

  // The window as the display has it: title, the skin's size, centred.
  const auto shown = OnScreen();
  EXPECT_EQ(shown.Width, 520);
  EXPECT_EQ(shown.Height, 280);
  EXPECT_EQ(shown.X, (GtkEnvironment::Display().GetWidth() - 520) / 2);
  EXPECT_EQ(shown.Y, (GtkEnvironment::Display().GetHeight() - 280) / 2);

  // A bar at 25: its first quarter shows the blue fill, the rest the dark
  // trough; the texts are drawn.
  Window.FindControl("eachprogress")->SetValue(25);
  Window.FindControl("eachprogress")->SetText("25%");
  Window.FindControl("infolable")->SetText("正在下载文件：Tandrel.exe");
  Window.FindControl("progresslable")->SetText("正在下载(1/3) 512KB/秒 总大小20480KB");
  gui_test::IterateFor(300ms);
  const auto picture = gui_test::Picture::Load(Screenshot("window-shipped-skin"));
  ASSERT_TRUE(picture);
  const auto at = [&](int x, int y) { return picture->At(shown.X + x, shown.Y + y); };
  const auto filled = at(28 + 40, 125);
  const auto empty = at(28 + 400, 125);
  EXPECT_GT(filled.B, 180) << "the fill image shows";
  EXPECT_GT(filled.B, filled.R + 80);
  EXPECT_LT(empty.B, 60) << "the trough shows past the value";
  // Text rows carry glyphs: many colours, not a flat background.
  EXPECT_GT(picture->Colours(shown.X + 28, shown.Y + 62, 300, 22), 20u) << "status text";
  EXPECT_GT(picture->Colours(shown.X + 28, shown.Y + 198, 300, 20), 20u) << "summary text";

  // A text far wider than its place is cut; the window keeps its size.
  std::string wide;
  for (int i = 0; i < 40; ++i) {
    wide += "正在下载文件：Tandrel.exe ";
  }
  Window.FindControl("infolable")->SetText(wide);
  Window.FindControl("progresslable")->SetText(wide);
  gui_test::IterateFor(300ms);
  const auto after = OnScreen();
  EXPECT_EQ(after.Width, 520);
  EXPECT_EQ(after.Height, 280);
  GtkAllocation label{};
  gtk_widget_get_allocation(
      dynamic_cast<GtkSkinControl*>(Window.FindControl("infolable"))->GetWidget(), &label);
  EXPECT_LE(label.x + label.width, 520);
}

TEST_F(GtkSkinWindowTest, UnusableSkinsFallBackToTheBuiltInLayout) {
  test::TempDir dir;
  const struct {
    const char* Name;
    std::string Content;  // empty: no file at all
    const char* Said;
  } cases[] = {
      {"missing", "", "cannot be read"},
      {"not XML", "<Skin><Window>", "cannot be read"},
      {"no close button",
       "<Skin><Window><Size>300,200</Size><Caption>0,0,0,30</Caption></Window>"
       "<Control><Name>infolable</Name><Class>TextUI</Class><Pos>0,40,300,60</Pos></Control>"
       "<Control><Name>progresslable</Name><Class>TextUI</Class><Pos>0,60,300,80</Pos></Control>"
       "<Control><Name>eachprogress</Name><Class>ProgressUI</Class><Pos>0,80,300,90</Pos></Control>"
       "<Control><Name>totalprogress</Name><Class>ProgressUI</Class><Pos>0,90,300,99</Pos></"
       "Control>"
       "</Skin>",
       "\"closebtn\" is missing"},
      {"bar that is a label",
       "<Skin><Window><Size>300,200</Size><Caption>0,0,0,30</Caption></Window>"
       "<Control><Name>eachprogress</Name><Class>LabelUI</Class><Pos>0,80,300,90</Pos></Control>"
       "</Skin>",
       "\"eachprogress\" must be a ProgressUI"},
      {"bad place",
       "<Skin><Window><Size>300,200</Size><Caption>0,0,0,30</Caption></Window>"
       "<Control><Name>closebtn</Name><Class>ButtonUI</Class><Pos>10,10,5</Pos></Control>"
       "</Skin>",
       "<Pos> has a bad value"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const auto file = dir.Path() / (std::string(c.Name) + ".xml");
    if (!c.Content.empty()) {
      std::ofstream(file) << c.Content;
    }
    GtkSkinWindow window;
    TestHandler handler(window, file);
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(window.Create(handler, kTitle));
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find(c.Said), std::string::npos) << said;
    EXPECT_NE(said.find("built-in layout"), std::string::npos) << said;
    EXPECT_TRUE(window.UsesBuiltInSkin());
    for (const RequiredControl& required : RequiredSkinControls()) {
      Control* control = window.FindControl(required.Name);
      ASSERT_NE(control, nullptr) << required.Name;
      if (!required.Class.empty()) {
        EXPECT_EQ(control->GetClass(), required.Class);
      }
    }
    EXPECT_EQ(window.GetClientRect().Right, BuiltInSkin().Width);
  }
}

TEST_F(GtkSkinWindowTest, CreateDeliversWmCreateAndCloseEndsTheModalLoop) {
  Handler = std::make_unique<TestHandler>(Window, kShippedSkin);
  ASSERT_TRUE(Window.Create(*Handler, kTitle));
  ASSERT_TRUE(Handler->InsideCreate);
  EXPECT_EQ(Handler->Messages.front().Id, WM_CREATE);
  Handler->OnMessage = [&](std::uint32_t message, std::uintptr_t, std::intptr_t) {
    if (message == kPosted) {
      Window.Post({WM_CLOSE, 0, 0});
    }
    return std::optional<std::intptr_t>();
  };
  Window.Post({kPosted, 1, 2});
  Window.ShowModal();  // returns once WM_CLOSE has destroyed the window

  std::vector<std::uint32_t> ids;
  for (const Message& m : Handler->Messages) {
    if (m.Id != WM_NCHITTEST) {
      ids.push_back(m.Id);
    }
  }
  EXPECT_EQ(ids, (std::vector<std::uint32_t>{WM_CREATE, kPosted, WM_CLOSE, WM_DESTROY}));
  EXPECT_TRUE(Window.IsDestroyed());
  EXPECT_EQ(Window.GetWidget(), nullptr);
  // Messages for a window that is gone are dropped, and its controls are
  // still safe to use.
  Window.Post({kPosted, 3, 4});
  gui_test::IterateFor(100ms);
  EXPECT_EQ(Handler->Count(kPosted), 1u);
  Window.FindControl("infolable")->SetText("gone");
  EXPECT_TRUE(gui_test::FindWindows(kTitle, false).empty());
}

// Worker threads post as fast as they can while the window runs: every
// message arrives in order, yet the 200 ms tick keeps its pace and the
// window keeps repainting.
TEST_F(GtkSkinWindowTest, FloodOfPostsStarvesNeitherTimerNorDrawing) {
  ASSERT_NO_FATAL_FAILURE(Open());
  Control* label = Window.FindControl("progresslable");
  int draws = 0;
  g_signal_connect_swapped(dynamic_cast<GtkSkinControl*>(label)->GetWidget(), "draw",
                           G_CALLBACK(+[](int* count) {
                             ++*count;
                             return FALSE;
                           }),
                           &draws);

  constexpr int kThreads = 2;
  std::atomic<bool> stop = false;
  std::vector<std::uint64_t> received(kThreads, 0);
  bool inOrder = true;
  std::vector<gint64> ticks;
  std::vector<int> drawsAtTick;
  std::size_t backlogTicks = 0;
  Handler->OnMessage = [&](std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
    if (message == kPosted) {
      // lParam: the thread, wParam: its sequence number.
      inOrder = inOrder && wParam == received[lParam];
      received[lParam] = wParam + 1;
      const auto busy = g_get_monotonic_time() + 1;  // a little work, as a progress handler does
      while (g_get_monotonic_time() < busy) {
      }
      return std::optional<std::intptr_t>(0);
    }
    if (message == WM_TIMER) {
      ticks.push_back(g_get_monotonic_time());
      drawsAtTick.push_back(draws);
      backlogTicks += Window.PendingMessages() > 1000 ? 1 : 0;
      label->SetText("tick " + std::to_string(ticks.size()));
      if (ticks.size() == 12) {
        stop = true;
      }
      return std::optional<std::intptr_t>(0);
    }
    return std::optional<std::intptr_t>();
  };
  std::vector<std::uint64_t> sent(kThreads, 0);
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&, t] {
      while (!stop) {
        if (Window.PendingMessages() > 400'000) {
          std::this_thread::yield();  // bounded memory; the backlog stays
          continue;
        }
        Window.Post({kPosted, static_cast<std::uintptr_t>(sent[t]++), t});
      }
    });
  }
  Window.SetTimer(1000, 200);
  const bool ticked = IterateUntil([&] { return stop.load(); }, 30s);
  stop = true;
  for (auto& poster : posters) {
    poster.join();
  }
  ASSERT_TRUE(ticked) << "the timer starved: " << ticks.size() << " ticks";
  ASSERT_TRUE(IterateUntil([&] { return Window.PendingMessages() == 0; }, 60s));
  gui_test::IterateFor(50ms);

  EXPECT_TRUE(inOrder);
  EXPECT_EQ(received, sent);
  EXPECT_GE(backlogTicks, 8u) << "the flood did not build a backlog; the test proves nothing";
  for (std::size_t i = 1; i < ticks.size(); ++i) {
    EXPECT_LT(ticks[i] - ticks[i - 1], 3 * 200'000) << "tick " << i;
    EXPECT_GT(drawsAtTick[i], drawsAtTick[i - 1])
        << "no repaint between ticks " << i - 1 << " and " << i;
  }
}

// The updater opens error boxes from inside its handlers; while one is
// open, the window's timer and posted messages keep arriving.
TEST_F(GtkSkinWindowTest, ErrorBoxRunsANestedLoopThatKeepsDelivering) {
  ASSERT_NO_FATAL_FAILURE(Open());
  GtkWidget* box = nullptr;
  int ticksInBox = 0;
  int postsInBox = 0;
  bool boxReturned = false;
  Handler->OnMessage = [&](std::uint32_t message, std::uintptr_t wParam, std::intptr_t) {
    if (message == kPosted && wParam == 0) {
      std::thread([&] { Window.Post({kPosted, 1, 0}); }).detach();
      Window.ShowErrorBox("更新列表下载失败", "系统提示");
      boxReturned = true;
      return std::optional<std::intptr_t>(0);
    }
    if (box == nullptr) {
      for (GList* w = gtk_window_list_toplevels(); w != nullptr; w = w->next) {
        if (GTK_IS_MESSAGE_DIALOG(w->data) && gtk_widget_get_mapped(GTK_WIDGET(w->data))) {
          box = GTK_WIDGET(w->data);
        }
      }
    }
    if (message == WM_TIMER && box != nullptr) {
      ++ticksInBox;
    }
    if (message == kPosted && wParam == 1 && box != nullptr) {
      ++postsInBox;
    }
    if (box != nullptr && ticksInBox >= 2 && postsInBox == 1 && !boxReturned) {
      EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(box)), "系统提示");
      EXPECT_TRUE(gtk_window_get_modal(GTK_WINDOW(box)));
      GtkMessageType type{};
      g_object_get(box, "message-type", &type, nullptr);
      EXPECT_EQ(type, GTK_MESSAGE_ERROR);
      // Shown to the user, over the window.
      EXPECT_EQ(gui_test::FindWindows("系统提示").size(), 1u);
      gtk_dialog_response(GTK_DIALOG(box), GTK_RESPONSE_OK);
    }
    return std::optional<std::intptr_t>();
  };
  Window.SetTimer(1000, 200);
  Window.Post({kPosted, 0, 0});
  ASSERT_TRUE(IterateUntil([&] { return boxReturned; }, 20s));
  EXPECT_GE(ticksInBox, 2);
  EXPECT_EQ(postsInBox, 1);
}

TEST_F(GtkSkinWindowTest, ClickOnTheCloseButtonNotifiesAndCloses) {
  ASSERT_NO_FATAL_FAILURE(Open());
  const auto shown = OnScreen();
  Pointer({"mousemove", std::to_string(shown.X + 496), std::to_string(shown.Y + 22)});
  Pointer({"click", "1"});
  ASSERT_TRUE(IterateUntil([&] { return Window.IsDestroyed(); }));
  EXPECT_EQ(Handler->Clicks, std::vector<std::string>{"click:closebtn"});
  EXPECT_EQ(Handler->Count(WM_DESTROY), 1u);
}

// Dragging inside the caption band moves the window, except on a button;
// outside the band nothing moves.
TEST_F(GtkSkinWindowTest, OnlyTheCaptionBandDragsTheWindow) {
  const struct {
    const char* Where;
    int X;
    int Y;
    bool Moves;
  } cases[] = {
      {"on the title, in the band", 200, 20, true},
      {"on the emblem, in the band", 20, 20, true},
      {"on the close button, in the band", 496, 22, false},
      {"below the band", 200, 150, false},
  };
  ASSERT_NO_FATAL_FAILURE(Open());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Where);
    const auto before = OnScreen();
    const int x = before.X + c.X;
    const int y = before.Y + c.Y;
    const int hitTests = Handler->HitTests;
    Pointer({"mousemove", std::to_string(x), std::to_string(y)});
    Pointer({"mousedown", "1"});
    for (int step = 1; step <= 4; ++step) {
      Pointer({"mousemove", std::to_string(x + 15 * step), std::to_string(y + 10 * step)});
    }
    Pointer({"mouseup", "1"});
    gui_test::IterateFor(200ms);
    const auto after = OnScreen();
    if (c.Moves) {
      EXPECT_EQ(after.X, before.X + 60);
      EXPECT_EQ(after.Y, before.Y + 40);
    } else {
      EXPECT_EQ(after.X, before.X);
      EXPECT_EQ(after.Y, before.Y);
    }
    if (std::string(c.Where).find("button") == std::string::npos) {
      EXPECT_EQ(Handler->HitTests, hitTests + 1) << "the press asked the handler";
    }
  }
  EXPECT_TRUE(Handler->Clicks.empty()) << "a press that leaves the button is no click";
}

TEST_F(GtkSkinWindowTest, HiddenUntilShown) {
  Handler = std::make_unique<TestHandler>(Window, kShippedSkin);
  ASSERT_TRUE(Window.Create(*Handler, kTitle));
  Window.CenterWindow();
  gui_test::IterateFor(200ms);
  EXPECT_TRUE(gui_test::FindWindows(kTitle).empty());
  Window.ShowWindow(true);
  ASSERT_TRUE(IterateUntil([&] { return !gui_test::FindWindows(kTitle).empty(); }));
}

}  // namespace
}  // namespace varo::platform

#else

TEST(GtkSkinWindowTest, NeedsTheDesktopFrontEnd) {
  GTEST_SKIP() << "built without the GTK front-end";
}

#endif

#include "platform/windows/gui/Win32SkinWindow.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// The window's header brings <windows.h>, which maps the name to
// ReplaceFileW; ours is platform::ReplaceFile.
#undef ReplaceFile
#include "platform/FileSystem.h"
#include "platform/SkinFile.h"
#include "support/TempDir.h"
// The system's headers come after the platform's: their macros share the
// names of the platform's message constants (with the same values).
#include <objbase.h>
#include <objidl.h>
#include <windows.h>
// after windows.h
#include <commctrl.h>
#include <gdiplus.h>

// Tests of the skinned window on a desktop. Under Wine they need an X
// display (DISPLAY, as from Xvfb) and skip without one.
namespace varo::platform {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kTestMessage = WM_USER + 321;
constexpr std::uint32_t kDoneMessage = WM_USER + 322;
constexpr std::uint32_t kOpenMessage = WM_USER + 323;
const std::string kTitle = "Varo更新程序";

fs::path ShippedSkin() {
  return fs::path(VARO_SOURCE_DIR) / "skin" / "Varo.xml";
}

// Why no window can be shown here, or null.
const char* NoDisplay() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  const bool wine = ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
  wchar_t display[64] = {};
  if (wine && GetEnvironmentVariableW(L"DISPLAY", display, 64) == 0) {
    return "no X display for Wine: run with DISPLAY set (e.g. Xvfb :77, DISPLAY=:77)";
  }
  return nullptr;
}

// Device pixels per skin pixel: the window is scaled to the screen's
// density.
double Scale() {
  HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
  ReleaseDC(nullptr, screen);
  return dpi / 96.0;
}

// The first device pixel of a skin pixel.
int Device(int skin) {
  return static_cast<int>(std::ceil(skin * Scale()));
}
Point Device(Point skin) {
  return {Device(skin.X), Device(skin.Y)};
}
// The device pixels wholly inside a skin area.
Rect Device(const Rect& skin) {
  return {Device(skin.Left), Device(skin.Top), static_cast<int>(std::floor(skin.Right * Scale())),
          static_cast<int>(std::floor(skin.Bottom * Scale()))};
}

// Loads the skin when the window is created, answers the hit test as the
// updater does (the caption band drags, except on buttons and texts), and
// records what it is told; hook, when set, takes every other message first.
class Recorder final : public WindowHandler {
 public:
  using Hook = std::function<std::optional<std::intptr_t>(std::uint32_t, std::uintptr_t)>;

  Recorder(Win32SkinWindow& window, fs::path skin) : Window(window), Skin(std::move(skin)) {}

  std::intptr_t HandleMessage(std::uint32_t message, std::uintptr_t wParam,
                              std::intptr_t lParam) override {
    if (message == WM_CREATE) {
      Created = true;
      Window.LoadSkin(Skin);
      return 0;
    }
    if (message == WM_NCHITTEST) {
      return HitTest(lParam);
    }
    if (OnMessage) {
      if (const std::optional<std::intptr_t> result = OnMessage(message, wParam)) {
        return *result;
      }
    }
    return Window.DefaultHandle(message, wParam, lParam);
  }

  void Notify(std::string_view type, Control& sender) override {
    Events.push_back(std::string(type) + " " + sender.GetName());
  }

  bool Created = false;
  std::vector<std::string> Events;
  Hook OnMessage;

 private:
  std::intptr_t HitTest(std::intptr_t lParam) {
    const Point point = Window.ScreenToClient(UnpackPoint(lParam));
    const Rect client = Window.GetClientRect();
    const Rect band = Window.GetCaptionInsets();
    if (point.X < client.Left + band.Left || point.X >= client.Right - band.Right ||
        point.Y < band.Top || point.Y >= band.Bottom) {
      return HTCLIENT;
    }
    const Control* control = Window.FindControlAt(point);
    if (control == nullptr || control->GetClass() == "ButtonUI" ||
        control->GetClass() == "TextUI") {
      return HTCLIENT;
    }
    return HTCAPTION;
  }

  Win32SkinWindow& Window;
  const fs::path Skin;
};

// The window's client area as PrintWindow draws it: 0xAARRGGBB, row by row.
class Capture {
 public:
  explicit Capture(HWND window) {
    RECT client{};
    ::GetClientRect(window, &client);
    Width = client.right;
    Height = client.bottom;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = Width;
    info.bmiHeader.biHeight = -Height;  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    Printed = PrintWindow(window, memory, PW_CLIENTONLY) != FALSE;
    GdiFlush();
    const auto* pixels = static_cast<const std::uint32_t*>(bits);
    Pixels.assign(pixels, pixels + static_cast<std::size_t>(Width) * Height);
    SelectObject(memory, previous);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
  }

  std::uint32_t At(int x, int y) const {
    return Pixels[static_cast<std::size_t>(y) * Width + x] & 0xFFFFFF;
  }

  // How many pixels of the area differ from other's.
  int Differences(const Capture& other, const Rect& area) const {
    int count = 0;
    for (int y = area.Top; y < area.Bottom; ++y) {
      for (int x = area.Left; x < area.Right; ++x) {
        count += At(x, y) != other.At(x, y) ? 1 : 0;
      }
    }
    return count;
  }

  bool Printed = false;
  int Width = 0;
  int Height = 0;
  std::vector<std::uint32_t> Pixels;
};

int AreaOf(const Rect& area) {
  return (area.Right - area.Left) * (area.Bottom - area.Top);
}

class Win32SkinWindowTest : public ::testing::Test {
 protected:
  // As the program starts: COM in an apartment (for the system's readers),
  // and GDI+.
  static void SetUpTestSuite() {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    Gdiplus::GdiplusStartupInput input;
    Gdiplus::GdiplusStartup(&Token, &input, nullptr);
  }
  static void TearDownTestSuite() {
    Gdiplus::GdiplusShutdown(Token);
    CoUninitialize();
  }

  void SetUp() override {
    if (const char* reason = NoDisplay()) {
      GTEST_SKIP() << reason;
    }
  }

  static ULONG_PTR Token;
};

ULONG_PTR Win32SkinWindowTest::Token = 0;

TEST_F(Win32SkinWindowTest, TheShippedSkinMakesAFramelessWindowWithItsControls) {
  Win32SkinWindow window;
  Recorder handler(window, ShippedSkin());
  ASSERT_TRUE(window.Create(handler, kTitle));
  EXPECT_TRUE(handler.Created);
  EXPECT_FALSE(window.UsesBuiltInSkin());
  HWND handle = window.GetHandle();
  ASSERT_NE(handle, nullptr);

  wchar_t name[64] = {};
  GetClassNameW(handle, name, 64);
  EXPECT_STREQ(name, L"DUIMainFrame");
  EXPECT_NE(GetClassLongPtrW(handle, GCL_STYLE) & CS_DBLCLKS, 0u);
  wchar_t title[64] = {};
  GetWindowTextW(handle, title, 64);
  EXPECT_STREQ(title, L"Varo\u66f4\u65b0\u7a0b\u5e8f");
  EXPECT_FALSE(IsWindowVisible(handle));
  const LONG_PTR style = GetWindowLongPtrW(handle, GWL_STYLE);
  EXPECT_EQ(style & (WS_CAPTION | WS_THICKFRAME), 0);

  // The whole window is client area, of the skin's size.
  RECT bounds{};
  GetWindowRect(handle, &bounds);
  EXPECT_EQ(bounds.right - bounds.left, std::lround(520 * Scale()));
  EXPECT_EQ(bounds.bottom - bounds.top, std::lround(280 * Scale()));
  const Rect client = window.GetClientRect();
  EXPECT_EQ(client.Right - client.Left, 520);
  EXPECT_EQ(client.Bottom - client.Top, 280);
  const Rect band = window.GetCaptionInsets();
  EXPECT_EQ(band.Top, 0);
  EXPECT_EQ(band.Bottom, 44);

  const struct {
    const char* Name;
    const char* Class;
  } expected[] = {{"infolable", "TextUI"},
                  {"eachprogress", "ProgressUI"},
                  {"totalprogress", "ProgressUI"},
                  {"progresslable", "TextUI"},
                  {"closebtn", "ButtonUI"}};
  for (const auto& control : expected) {
    SCOPED_TRACE(control.Name);
    Control* found = window.FindControl(control.Name);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->GetClass(), control.Class);
  }
  EXPECT_EQ(window.FindControl("nosuch"), nullptr);
  EXPECT_EQ(window.FindControlAt({496, 22}), window.FindControl("closebtn"));
  EXPECT_EQ(window.FindControlAt({100, 125}), window.FindControl("eachprogress"));
  EXPECT_EQ(window.FindControlAt({5, 100}), nullptr);
}

TEST_F(Win32SkinWindowTest, TheCloseButtonHasItsToolTip) {
  Win32SkinWindow window;
  Recorder handler(window, ShippedSkin());
  ASSERT_TRUE(window.Create(handler, kTitle));
  HWND tips = window.GetTips();
  ASSERT_NE(tips, nullptr);
  EXPECT_EQ(GetWindow(tips, GW_OWNER), window.GetHandle());
  ASSERT_EQ(SendMessageW(tips, TTM_GETTOOLCOUNT, 0, 0), 1);
  wchar_t text[80] = {};
  TTTOOLINFOW tool{};
  tool.cbSize = TTTOOLINFOW_V2_SIZE;
  tool.lpszText = text;
  ASSERT_TRUE(SendMessageW(tips, TTM_ENUMTOOLSW, 0, reinterpret_cast<LPARAM>(&tool)));
  EXPECT_STREQ(text, L"\u5173\u95ed");
  EXPECT_EQ(tool.rect.left, Device(482));
  EXPECT_EQ(tool.rect.top, Device(8));
}

TEST_F(Win32SkinWindowTest, AMissingSkinGivesTheBuiltInLayout) {
  Win32SkinWindow window;
  Recorder handler(window, fs::path(VARO_SOURCE_DIR) / "skin" / "no-such-skin.xml");
  ASSERT_TRUE(window.Create(handler, kTitle));
  EXPECT_TRUE(window.UsesBuiltInSkin());
  for (const RequiredControl& required : RequiredSkinControls()) {
    EXPECT_NE(window.FindControl(required.Name), nullptr) << required.Name;
  }
  const Rect client = window.GetClientRect();
  EXPECT_EQ(client.Right, BuiltInSkin().Width);
  EXPECT_EQ(client.Bottom, BuiltInSkin().Height);
}

TEST_F(Win32SkinWindowTest, TheCaptionBandDragsExceptOnTheCloseButton) {
  Win32SkinWindow window;
  Recorder handler(window, ShippedSkin());
  ASSERT_TRUE(window.Create(handler, kTitle));
  window.CenterWindow();
  HWND handle = window.GetHandle();

  RECT area{};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  RECT bounds{};
  GetWindowRect(handle, &bounds);
  EXPECT_EQ(bounds.left, area.left + (area.right - area.left - (bounds.right - bounds.left)) / 2);
  EXPECT_EQ(bounds.top, area.top + (area.bottom - area.top - (bounds.bottom - bounds.top)) / 2);
  ASSERT_NE(bounds.left, 0);  // screen and client points differ

  const struct {
    Point Client;
    LRESULT Expected;
  } cases[] = {
      {{10, 20}, HTCAPTION}, {{200, 20}, HTCAPTION}, {{519, 43}, HTCAPTION}, {{496, 22}, HTCLIENT},
      {{483, 9}, HTCLIENT},  {{260, 44}, HTCLIENT},  {{200, 70}, HTCLIENT},  {{300, 125}, HTCLIENT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.Client.X) + "," + std::to_string(c.Client.Y));
    const Point screen{bounds.left + Device(c.Client.X), bounds.top + Device(c.Client.Y)};
    EXPECT_EQ(SendMessageW(handle, WM_NCHITTEST, 0, PackPoint(screen)), c.Expected);
  }
}

TEST_F(Win32SkinWindowTest, TheCloseButtonClicksWhenReleasedOnIt) {
  Win32SkinWindow window;
  Recorder handler(window, ShippedSkin());
  ASSERT_TRUE(window.Create(handler, kTitle));
  HWND handle = window.GetHandle();
  const auto press = [&](Point down, Point up) {
    SendMessageW(handle, WM_LBUTTONDOWN, MK_LBUTTON, PackPoint(Device(down)));
    SendMessageW(handle, WM_LBUTTONUP, 0, PackPoint(Device(up)));
  };
  press({496, 22}, {490, 30});
  EXPECT_EQ(handler.Events, std::vector<std::string>{"click closebtn"});
  press({496, 22}, {200, 150});   // released elsewhere
  press({200, 20}, {200, 20});    // a label
  press({300, 125}, {300, 125});  // a bar
  EXPECT_EQ(handler.Events, std::vector<std::string>{"click closebtn"});
}

TEST_F(Win32SkinWindowTest, PostsFromOtherThreadsArriveInOrderOnTheWindowsThread) {
  Win32SkinWindow window;
  Recorder handler(window, ShippedSkin());
  ASSERT_TRUE(window.Create(handler, kTitle));
  constexpr std::uintptr_t kEach = 20000;
  const DWORD windowThread = GetCurrentThreadId();
  std::vector<std::uintptr_t> next(2, 0);
  int outOfOrder = 0;
  int elsewhere = 0;
  handler.OnMessage = [&](std::uint32_t message,
                          std::uintptr_t wParam) -> std::optional<std::intptr_t> {
    if (message != kTestMessage) {
      return std::nullopt;
    }
    elsewhere += GetCurrentThreadId() != windowThread ? 1 : 0;
    const std::uintptr_t sender = wParam >> 24;
    outOfOrder += (wParam & 0xFFFFFF) != next[sender] ? 1 : 0;
    next[sender] = (wParam & 0xFFFFFF) + 1;
    if (next[0] == kEach && next[1] == kEach) {
      window.Post({WM_CLOSE, 0, 0});
    }
    return 0;
  };
  std::vector<std::thread> senders;
  for (std::uintptr_t sender = 0; sender < 2; ++sender) {
    senders.emplace_back([&window, sender] {
      for (std::uintptr_t i = 0; i < kEach; ++i) {
        window.Post({kTestMessage, (sender << 24) | i, 0});
      }
    });
  }
  window.ShowModal();
  for (std::thread& sender : senders) {
    sender.join();
  }
  EXPECT_TRUE(window.IsDestroyed());
  EXPECT_EQ(window.GetHandle(), nullptr);
  EXPECT_EQ(next[0], kEach);
  EXPECT_EQ(next[1], kEach);
  EXPECT_EQ(outOfOrder, 0);
  EXPECT_EQ(elsewhere, 0);
}

TEST_F(Win32SkinWindowTest, TheTimerTicksThroughAFloodOfPosts) {
  Win32SkinWindow window;
  Recorder handler(window, ShippedSkin());
  ASSERT_TRUE(window.Create(handler, kTitle));
  constexpr std::uint32_t kTimer = 5;
  constexpr int kCap = 4'000'000;
  std::atomic<int> ticks{0};
  int wrongTimers = 0;
  handler.OnMessage = [&](std::uint32_t message,
                          std::uintptr_t wParam) -> std::optional<std::intptr_t> {
    if (message == WM_TIMER) {
      wrongTimers += wParam != kTimer ? 1 : 0;
      ticks.fetch_add(1);
      ticks.notify_all();
      return 0;
    }
    if (message == kDoneMessage) {
      window.Post({WM_CLOSE, 0, 0});
      return 0;
    }
    return message == kTestMessage ? std::optional<std::intptr_t>(0) : std::nullopt;
  };
  window.SetTimer(kTimer, 10);
  int posted = 0;
  int ticksInFlood = 0;
  std::thread flood([&] {
    ticks.wait(0);  // the loop runs
    const int first = ticks.load();
    while (ticks.load() < first + 3 && posted < kCap) {
      window.Post({kTestMessage, static_cast<std::uintptr_t>(posted), 0});
      ++posted;
    }
    ticksInFlood = ticks.load() - first;
    window.Post({kDoneMessage, 0, 0});
  });
  window.ShowModal();
  flood.join();
  EXPECT_GE(ticksInFlood, 3) << "after " << posted << " posts";
  EXPECT_LT(posted, kCap);
  EXPECT_EQ(wrongTimers, 0);
}

// Paced posts stop at the window's limit while its thread does not drain,
// and go on, in order, once it does.
TEST_F(Win32SkinWindowTest, PacedPostsWaitWhileTheWindowIsBehind) {
  Win32SkinWindow window;
  Recorder handler(window, ShippedSkin());
  ASSERT_TRUE(window.Create(handler, kTitle));
  constexpr std::uintptr_t kCount = 3 * Win32SkinWindow::kPostedLimit;
  std::uintptr_t received = 0;
  bool inOrder = true;
  handler.OnMessage = [&](std::uint32_t message,
                          std::uintptr_t wParam) -> std::optional<std::intptr_t> {
    if (message != kTestMessage) {
      return std::nullopt;
    }
    inOrder = inOrder && wParam == received;
    if (++received == kCount) {
      window.Post({WM_CLOSE, 0, 0});
    }
    return 0;
  };
  const std::atomic<bool> stop = false;
  std::thread poster([&] {
    for (std::uintptr_t n = 0; n < kCount; ++n) {
      window.PostPaced({kTestMessage, n, 0}, stop);
    }
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (window.WaitingPosters() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  EXPECT_EQ(window.WaitingPosters(), 1u) << "the poster went past the limit";
  EXPECT_EQ(window.PendingPosts(), Win32SkinWindow::kPostedLimit);
  window.ShowModal();
  poster.join();
  EXPECT_EQ(received, kCount);
  EXPECT_TRUE(inOrder);
}

// Opens an error box from a timer tick or from a posted message, and checks
// that the box's loop goes on delivering ticks and posts to the handler.
void ExpectAnErrorBoxKeepsTheTimerAndPostsGoing(bool openedByAPost) {
  Win32SkinWindow window;
  Recorder handler(window, ShippedSkin());
  ASSERT_TRUE(window.Create(handler, kTitle));
  HWND handle = window.GetHandle();
  bool inBox = false;
  int ticksInBox = 0;
  int postsInBox = 0;
  HWND box = nullptr;
  bool ownerless = false;
  bool windowEnabled = false;
  handler.OnMessage = [&](std::uint32_t message, std::uintptr_t) -> std::optional<std::intptr_t> {
    if (message == kTestMessage) {
      postsInBox += inBox ? 1 : 0;
      return 0;
    }
    const bool open = message == (openedByAPost ? kOpenMessage : WM_TIMER);
    if (!inBox && open && ticksInBox == 0) {
      inBox = true;
      window.ShowErrorBox("更新失败", "系统提示");
      inBox = false;
      window.Post({WM_CLOSE, 0, 0});
      return 0;
    }
    if (message != WM_TIMER || !inBox) {
      return message == WM_TIMER ? std::optional<std::intptr_t>(0) : std::nullopt;
    }
    if (++ticksInBox == 1) {
      window.Post({kTestMessage, 0, 0});
    }
    if (box == nullptr) {
      EnumThreadWindows(
          GetCurrentThreadId(),
          [](HWND candidate, LPARAM found) -> BOOL {
            wchar_t text[32] = {};
            GetWindowTextW(candidate, text, 32);
            if (std::wstring(text) == L"\u7cfb\u7edf\u63d0\u793a") {
              *reinterpret_cast<HWND*>(found) = candidate;
              return FALSE;
            }
            return TRUE;
          },
          reinterpret_cast<LPARAM>(&box));
    }
    if (box != nullptr && ((ticksInBox >= 2 && postsInBox >= 1) || ticksInBox > 500)) {
      ownerless = GetWindow(box, GW_OWNER) == nullptr;
      windowEnabled = IsWindowEnabled(handle) != FALSE;
      PostMessageW(box, WM_COMMAND, IDOK, 0);
    }
    return 0;
  };
  window.SetTimer(9, 10);
  if (openedByAPost) {
    window.Post({kOpenMessage, 0, 0});
  }
  window.ShowModal();
  EXPECT_NE(box, nullptr);
  EXPECT_GE(ticksInBox, 2);
  EXPECT_EQ(postsInBox, 1);
  EXPECT_TRUE(ownerless);
  EXPECT_TRUE(windowEnabled);
}

TEST_F(Win32SkinWindowTest, AnErrorBoxOpenedOnATickKeepsTheTimerAndPostsGoing) {
  ExpectAnErrorBoxKeepsTheTimerAndPostsGoing(false);
}

TEST_F(Win32SkinWindowTest, AnErrorBoxOpenedForAPostKeepsTheTimerAndPostsGoing) {
  ExpectAnErrorBoxKeepsTheTimerAndPostsGoing(true);
}

TEST_F(Win32SkinWindowTest, TextsAndBarsArePainted) {
  Win32SkinWindow window;
  Recorder handler(window, ShippedSkin());
  ASSERT_TRUE(window.Create(handler, kTitle));
  window.CenterWindow();
  window.ShowWindow(true);
  HWND handle = window.GetHandle();
  UpdateWindow(handle);
  const Capture before(handle);
  ASSERT_TRUE(before.Printed);
  ASSERT_EQ(before.Width, std::lround(520 * Scale()));

  ValidateRect(handle, nullptr);
  window.FindControl("infolable")->SetText("正在下载 Tandrel.exe");
  window.FindControl("eachprogress")->SetValue(100);
  window.FindControl("totalprogress")->SetValue(50);
  RECT dirty{};
  ASSERT_TRUE(GetUpdateRect(handle, &dirty, FALSE));
  const Rect changed = Device(Rect{28, 60, 492, 184});
  EXPECT_LE(dirty.left, changed.Left);
  EXPECT_LE(dirty.top, changed.Top);
  EXPECT_GE(dirty.right, changed.Right);
  EXPECT_GE(dirty.bottom, changed.Bottom);
  UpdateWindow(handle);
  const Capture after(handle);
  ASSERT_TRUE(after.Printed);

  const Rect each = Device(Rect{28, 116, 492, 134});
  const Rect totalFilled = Device(Rect{30, 166, 250, 184});
  const Rect totalEmpty = Device(Rect{270, 166, 480, 184});
  const Rect info = Device(Rect{28, 60, 492, 86});
  const Rect footer = Device(Rect{0, 236, 520, 280});
  EXPECT_GT(after.Differences(before, each), AreaOf(each) / 2);
  EXPECT_GT(after.Differences(before, totalFilled), AreaOf(totalFilled) / 2);
  EXPECT_EQ(after.Differences(before, totalEmpty), 0);
  EXPECT_GT(after.Differences(before, info), 30);
  EXPECT_EQ(after.Differences(before, footer), 0);
  // The footer's text is drawn over the background.
  int footerColours = 0;
  const int row = Device(256);
  for (int x = Device(28); x < Device(300); ++x) {
    footerColours += after.At(x, row) != after.At(Device(2), row) ? 1 : 0;
  }
  EXPECT_GT(footerColours, 10);

  // The close button under the pointer, and pressed.
  const Rect close = Device(Rect{482, 8, 510, 36});
  SendMessageW(handle, WM_MOUSEMOVE, 0, PackPoint(Device(Point{496, 22})));
  UpdateWindow(handle);
  const Capture hot(handle);
  SendMessageW(handle, WM_LBUTTONDOWN, MK_LBUTTON, PackPoint(Device(Point{496, 22})));
  UpdateWindow(handle);
  const Capture pushed(handle);
  SendMessageW(handle, WM_LBUTTONUP, 0, PackPoint(Device(Point{496, 22})));
  EXPECT_GT(hot.Differences(after, close), 20);
  EXPECT_GT(pushed.Differences(hot, close), 20);
  EXPECT_EQ(pushed.Differences(after, each), 0);
}

// The skin lies in the installation, which an update may change while the
// window shows it: the images it has drawn stay free to be replaced.
TEST_F(Win32SkinWindowTest, TheImagesShownCanBeReplaced) {
  const test::TempDir dir;
  for (const auto& entry : fs::directory_iterator(ShippedSkin().parent_path())) {
    fs::copy_file(entry.path(), dir / entry.path().filename());
  }
  Win32SkinWindow window;
  Recorder handler(window, dir / "Varo.xml");
  ASSERT_TRUE(window.Create(handler, kTitle));
  window.FindControl("eachprogress")->SetValue(50);  // its fill image is drawn too
  const Capture drawn(window.GetHandle());
  ASSERT_TRUE(drawn.Printed);
  for (const char* image :
       {"bg.png", "bar_back.png", "jd_m.jpg", "close_normal.png", "icon1.ico"}) {
    SCOPED_TRACE(image);
    const fs::path update = dir / (std::string(image) + ".update");
    fs::copy_file(dir / image, update);
    EXPECT_EQ(ReplaceFile(update, dir / image, false), kOk);
  }
}

}  // namespace
}  // namespace varo::platform

#include "platform/windows/gui/Win32Shell.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/windows/gui/Win32SkinWindow.h"
#include "support/TempDir.h"
// The system's headers come after the platform's: their macros share the
// names of the platform's constants.
#include <windows.h>
// windows.h before shellapi.h
#include <shellapi.h>
// The shell's member, not the macro of <windows.h>.
#undef LoadIcon

namespace varo::platform {
namespace {

namespace fs = std::filesystem;

fs::path SystemFolder() {
  wchar_t folder[MAX_PATH + 1] = {};
  const UINT length = GetSystemDirectoryW(folder, MAX_PATH + 1);
  return fs::path(std::wstring(folder, length));
}

// Runs with the current folder set to another one, and restores it.
class CurrentFolder {
 public:
  explicit CurrentFolder(const fs::path& folder) : Saved(fs::current_path()) {
    fs::current_path(folder);
  }
  ~CurrentFolder() { fs::current_path(Saved); }
  CurrentFolder(const CurrentFolder&) = delete;
  CurrentFolder& operator=(const CurrentFolder&) = delete;

 private:
  const fs::path Saved;
};

TEST(Win32ShellTest, SystemProgramsComeFromTheSystemFolderOnly) {
  const test::TempDir dir;
  test::WriteFile(dir / "regsvr32.exe", "MZ planted");
  test::WriteFile(dir / "regsvr32", "planted");
  const CurrentFolder inside(dir.Path());

  const std::optional<fs::path> file =
      Win32Shell::FileToStart({"regsvr32", "/s \"a.dll\"", "", true});
  ASSERT_TRUE(file.has_value());
  EXPECT_TRUE(file->is_absolute()) << file->string();
  EXPECT_EQ(file->parent_path(), SystemFolder());
  EXPECT_EQ(file->filename(), fs::path(L"regsvr32.exe"));
  EXPECT_FALSE(fs::equivalent(*file, dir / "regsvr32.exe"));
  // The prefix's own program is what starts.
  EXPECT_TRUE(fs::is_regular_file(*file)) << file->string();
}

TEST(Win32ShellTest, SystemProgramNamesWithAFolderAreRefused) {
  for (const char* name :
       {"..\\regsvr32", "sub/regsvr32", "C:regsvr32", "C:\\x\\regsvr32", "", ".", ".."}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(Win32Shell::FileToStart({name, "", "", true}).has_value());
  }
}

TEST(Win32ShellTest, OtherProgramsAreHandedOnAsNamed) {
  const std::optional<fs::path> file = Win32Shell::FileToStart({"Tandrel.exe", "", "open"});
  ASSERT_TRUE(file.has_value());
  EXPECT_EQ(*file, fs::path(L"Tandrel.exe"));
  // UTF-8 names reach the system as the same characters.
  const std::optional<fs::path> named = Win32Shell::FileToStart({"更新.exe", "", ""});
  ASSERT_TRUE(named.has_value());
  EXPECT_EQ(named->wstring(), L"\u66f4\u65b0.exe");
}

TEST(Win32ShellTest, IconsLoadFromIcoFilesOnly) {
  Win32Shell shell([] { return static_cast<HWND>(nullptr); });
  const fs::path skin = fs::path(VARO_SOURCE_DIR) / "skin";
  const IconHandle icon = shell.LoadIcon(skin / "icon1.ico");
  EXPECT_NE(icon, 0u);
  shell.DestroyIcon(icon);
  EXPECT_EQ(shell.LoadIcon(skin / "no-such-icon.ico"), 0u);
  EXPECT_EQ(shell.LoadIcon(skin / "Varo.xml"), 0u);
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

TEST(Win32ShellTest, TheTrayIconIsAddedChangedAndRemoved) {
  if (const char* reason = NoDisplay()) {
    GTEST_SKIP() << reason;
  }
  HWND window = CreateWindowExW(0, L"STATIC", L"tray owner", WS_POPUP, 0, 0, 10, 10, nullptr,
                                nullptr, GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(window, nullptr);
  {
    Win32Shell shell([window] { return window; });
    const IconHandle icon = shell.LoadIcon(fs::path(VARO_SOURCE_DIR) / "skin" / "icon1.ico");
    TrayData data;
    data.Flags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.CallbackMessage = WM_APP + 7;
    data.Icon = icon;
    data.Tip = "正在自动更新";
    ASSERT_TRUE(shell.NotifyIcon(TrayAction::Add, data));
    // A tip longer than the notification area keeps is cut, between
    // characters.
    data.Flags = NIF_TIP;
    data.Tip = std::string(126, 'x') + "😀" + std::string(200, 'y');
    EXPECT_TRUE(shell.NotifyIcon(TrayAction::Modify, data));
    EXPECT_TRUE(shell.NotifyIcon(TrayAction::Delete, data));
    // Gone: nothing left to change.
    EXPECT_FALSE(shell.NotifyIcon(TrayAction::Modify, data));
    shell.DestroyIcon(icon);
  }
  DestroyWindow(window);
}

// One command as the shell gave it to the notification area.
struct TrayCall {
  std::uint32_t Command;
  UINT Flags;
  UINT CallbackMessage;
  HICON Icon;
  std::wstring Tip;
};

// When Explorer starts anew it has lost the icon: adding it again brings
// back its callback, its latest icon and its latest tip.
TEST(Win32ShellTest, TheTrayIconIsRestoredAsItIsNow) {
  if (const char* reason = NoDisplay()) {
    GTEST_SKIP() << reason;
  }
  HWND window = CreateWindowExW(0, L"STATIC", L"tray owner", WS_POPUP, 0, 0, 10, 10, nullptr,
                                nullptr, GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(window, nullptr);
  std::vector<TrayCall> calls;
  {
    Win32Shell shell([window] { return window; },
                     [&calls](std::uint32_t command, NOTIFYICONDATAW& record) {
                       calls.push_back({command, record.uFlags, record.uCallbackMessage,
                                        record.hIcon, record.szTip});
                       return Shell_NotifyIconW(command, &record) != FALSE;
                     });
    const fs::path skin = fs::path(VARO_SOURCE_DIR) / "skin";
    const IconHandle first = shell.LoadIcon(skin / "icon1.ico");
    const IconHandle second = shell.LoadIcon(skin / "icon2.ico");
    ASSERT_NE(first, 0u);
    ASSERT_NE(second, 0u);
    EXPECT_FALSE(shell.RestoreTrayIcon()) << "no icon shown yet";
    EXPECT_TRUE(calls.empty());

    TrayData data;
    data.Flags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.CallbackMessage = WM_APP + 7;
    data.Icon = first;
    data.Tip = "正在自动更新";
    ASSERT_TRUE(shell.NotifyIcon(TrayAction::Add, data));
    const TrayData frame{NIF_ICON, 0, second, ""};
    ASSERT_TRUE(shell.NotifyIcon(TrayAction::Modify, frame));
    const TrayData tip{NIF_TIP, 0, 0, "Varo正在更新程序,请勿退出"};
    ASSERT_TRUE(shell.NotifyIcon(TrayAction::Modify, tip));

    // Explorer's new notification area knows no icon of ours.
    NOTIFYICONDATAW lost{};
    lost.cbSize = sizeof lost;
    lost.hWnd = window;
    lost.uID = 0;
    ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &lost));
    ASSERT_FALSE(Shell_NotifyIconW(NIM_MODIFY, &lost)) << "the icon is gone";

    calls.clear();
    ASSERT_TRUE(shell.RestoreTrayIcon());
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].Command, static_cast<std::uint32_t>(NIM_ADD));
    EXPECT_EQ(calls[0].Flags, static_cast<UINT>(NIF_MESSAGE | NIF_ICON | NIF_TIP));
    EXPECT_EQ(calls[0].CallbackMessage, static_cast<UINT>(WM_APP + 7));
    EXPECT_EQ(calls[0].Icon, reinterpret_cast<HICON>(second));
    EXPECT_EQ(calls[0].Tip, L"Varo\u6b63\u5728\u66f4\u65b0\u7a0b\u5e8f,\u8bf7\u52ff\u9000\u51fa");
    EXPECT_TRUE(Shell_NotifyIconW(NIM_MODIFY, &lost)) << "the icon is back";

    // Where the notification area still has it, it is brought up to date.
    calls.clear();
    EXPECT_TRUE(shell.RestoreTrayIcon());
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].Command, static_cast<std::uint32_t>(NIM_MODIFY));
    EXPECT_EQ(calls[1].Icon, reinterpret_cast<HICON>(second));

    ASSERT_TRUE(shell.NotifyIcon(TrayAction::Delete, {}));
    calls.clear();
    EXPECT_FALSE(shell.RestoreTrayIcon()) << "a removed icon stays removed";
    EXPECT_TRUE(calls.empty());
    shell.DestroyIcon(first);
    shell.DestroyIcon(second);
  }
  DestroyWindow(window);
}

// Passes every message on to the system.
class PlainHandler final : public WindowHandler {
 public:
  explicit PlainHandler(Win32SkinWindow& window) : Window(window) {}
  std::intptr_t HandleMessage(std::uint32_t message, std::uintptr_t wParam,
                              std::intptr_t lParam) override {
    return Window.DefaultHandle(message, wParam, lParam);
  }
  void Notify(std::string_view, Control&) override {}

 private:
  Win32SkinWindow& Window;
};

// Explorer broadcasts "TaskbarCreated" when it starts anew; the updater's
// window hands it to its action, which the program wires to the shell as
// here.
TEST(Win32ShellTest, TheTrayIconComesBackWhenTheTaskbarIsMadeAnew) {
  if (const char* reason = NoDisplay()) {
    GTEST_SKIP() << reason;
  }
  Win32SkinWindow window;
  PlainHandler handler(window);
  ASSERT_TRUE(window.Create(handler, "Varo更新程序"));
  Win32Shell shell([&window] { return window.GetHandle(); });
  int calls = 0;
  window.SetTaskbarCreatedAction([&] {
    ++calls;
    shell.RestoreTrayIcon();
  });
  TrayData data;
  data.Flags = NIF_ICON | NIF_TIP;
  data.Icon = shell.LoadIcon(fs::path(VARO_SOURCE_DIR) / "skin" / "icon1.ico");
  data.Tip = "正在自动更新";
  ASSERT_TRUE(shell.NotifyIcon(TrayAction::Add, data));
  NOTIFYICONDATAW lost{};
  lost.cbSize = sizeof lost;
  lost.hWnd = window.GetHandle();
  lost.uID = 0;
  ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &lost));

  const UINT taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
  ASSERT_NE(taskbarCreated, 0u);
  SendMessageW(window.GetHandle(), taskbarCreated, 0, 0);
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(Shell_NotifyIconW(NIM_MODIFY, &lost)) << "the icon is back";
  EXPECT_TRUE(shell.NotifyIcon(TrayAction::Delete, {}));
  window.SetTaskbarCreatedAction({});
  shell.DestroyIcon(data.Icon);
}

TEST(Win32ShellTest, TheTrayIconNeedsAWindow) {
  Win32Shell shell([] { return static_cast<HWND>(nullptr); });
  TrayData data;
  data.Flags = NIF_TIP;
  data.Tip = "正在自动更新";
  EXPECT_FALSE(shell.NotifyIcon(TrayAction::Add, data));
  EXPECT_FALSE(shell.NotifyIcon(TrayAction::Modify, data));
}

}  // namespace
}  // namespace varo::platform

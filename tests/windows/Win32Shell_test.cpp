#include "platform/windows/gui/Win32Shell.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "support/TempDir.h"
// The system's headers come after the platform's: their macros share the
// names of the platform's constants.
#include <windows.h>
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

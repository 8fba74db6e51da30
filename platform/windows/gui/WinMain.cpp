// VaroUpdate.exe: the updater on a Windows desktop.
#include "app/Entry.h"
#include "platform/FileSystem.h"
#include "platform/windows/gui/Win32Shell.h"
#include "platform/windows/gui/Win32SkinWindow.h"
// The system's headers come after the platform's: their macros share the
// names of the platform's message constants.
#include <objbase.h>
#include <objidl.h>
#include <windows.h>
// objidl.h before gdiplus.h
#include <gdiplus.h>
#include <shellapi.h>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace {

// The command line's arguments after the program's name, as UTF-8.
std::vector<std::string> CommandArguments() {
  std::vector<std::string> arguments;
  int count = 0;
  LPWSTR* const words = CommandLineToArgvW(GetCommandLineW(), &count);
  if (words == nullptr) {
    return arguments;
  }
  for (int i = 1; i < count; ++i) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, words[i], -1, nullptr, 0, nullptr, nullptr);
    std::string argument(size > 0 ? static_cast<std::size_t>(size) : 1, '\0');
    if (size > 0) {
      WideCharToMultiByte(CP_UTF8, 0, words[i], -1, argument.data(), size, nullptr, nullptr);
    }
    argument.pop_back();  // the terminating null
    arguments.push_back(std::move(argument));
  }
  LocalFree(words);
  return arguments;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  Gdiplus::GdiplusStartupInput input;
  ULONG_PTR gdiplus = 0;
  const bool drawing = Gdiplus::GdiplusStartup(&gdiplus, &input, nullptr) == Gdiplus::Ok;
  {
    varo::platform::Win32SkinWindow window;
    varo::platform::Win32Shell shell([&window] { return window.GetHandle(); });
    window.SetTaskbarCreatedAction([&shell] { shell.RestoreTrayIcon(); });
    varo::RunUpdater(window, shell, varo::platform::ProgramDirectory(),
                     varo::ParseArguments(CommandArguments()));
    window.SetTaskbarCreatedAction({});  // the shell goes first
  }
  if (drawing) {
    Gdiplus::GdiplusShutdown(gdiplus);
  }
  if (SUCCEEDED(com)) {
    CoUninitialize();
  }
  return 0;
}

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

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  Gdiplus::GdiplusStartupInput input;
  ULONG_PTR gdiplus = 0;
  const bool drawing = Gdiplus::GdiplusStartup(&gdiplus, &input, nullptr) == Gdiplus::Ok;
  {
    varo::platform::Win32SkinWindow window;
    varo::platform::Win32Shell shell([&window] { return window.GetHandle(); });
    window.SetTaskbarCreatedAction([&shell] { shell.RestoreTrayIcon(); });
    varo::RunUpdater(window, shell, varo::platform::ProgramDirectory());
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

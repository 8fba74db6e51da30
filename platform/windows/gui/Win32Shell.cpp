#include "platform/windows/gui/Win32Shell.h"

#include <windows.h>
// windows.h before shellapi.h
#include <shellapi.h>

#include <chrono>
#include <cwchar>
#include <string>
#include <utility>

#include "platform/windows/gui/Win32Text.h"

// The member, not the ANSI-or-wide macro of <windows.h>.
#undef LoadIcon

namespace varo::platform {
namespace {

// Taken when the program is loaded, before wWinMain.
const std::chrono::steady_clock::time_point kProcessStart = std::chrono::steady_clock::now();

// The icon's number within its window: the program has one.
constexpr UINT kTrayIconId = 0;

// A name without folder, drive or parent step: "regsvr32", not
// "..\\regsvr32" or "C:regsvr32".
bool IsBareName(const std::wstring& name) {
  return !name.empty() && name != L"." && name != L".." &&
         name.find_first_of(L"\\/:") == std::wstring::npos;
}

// Copies a tip into the record's field, cut at the field's size without
// splitting a surrogate pair.
void CopyTip(const std::string& tip, wchar_t (&field)[128]) {
  std::wstring wide = win32gui::Wide(tip);
  if (wide.size() > Win32Shell::kMaxTip) {
    std::size_t keep = Win32Shell::kMaxTip;
    if (wide[keep - 1] >= 0xD800 && wide[keep - 1] <= 0xDBFF) {
      --keep;
    }
    wide.resize(keep);
  }
  std::wmemcpy(field, wide.c_str(), wide.size() + 1);
}

}  // namespace

Win32Shell::Win32Shell(std::function<HWND__*()> trayOwner, TrayCommand command)
    : TrayOwner(std::move(trayOwner)),
      Command(command ? std::move(command) : [](std::uint32_t what, NOTIFYICONDATAW& record) {
        return Shell_NotifyIconW(what, &record) != FALSE;
      }) {}

Win32Shell::~Win32Shell() {
  if (TrayWindow != nullptr) {
    NotifyIcon(TrayAction::Delete, {});
  }
}

std::optional<std::filesystem::path> Win32Shell::FileToStart(const StartRequest& request) {
  std::wstring file = win32gui::Wide(request.File);
  if (!request.SystemProgram) {
    return std::filesystem::path(std::move(file));
  }
  if (!IsBareName(file)) {
    return std::nullopt;
  }
  wchar_t folder[MAX_PATH + 1] = {};
  const UINT length = GetSystemDirectoryW(folder, MAX_PATH + 1);
  if (length == 0 || length > MAX_PATH) {
    return std::nullopt;
  }
  return std::filesystem::path(std::wstring(folder, length) + L"\\" + file + L".exe");
}

void Win32Shell::Start(const StartRequest& request) {
  const std::optional<std::filesystem::path> file = FileToStart(request);
  if (!file) {
    return;
  }
  const std::wstring verb = win32gui::Wide(request.Verb);
  const std::wstring parameters = win32gui::Wide(request.Parameters);
  ShellExecuteW(nullptr, verb.empty() ? nullptr : verb.c_str(), file->c_str(),
                parameters.empty() ? nullptr : parameters.c_str(), nullptr, SW_SHOW);
}

IconHandle Win32Shell::LoadIcon(const std::filesystem::path& file) {
  HANDLE icon = LoadImageW(nullptr, file.c_str(), IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                           GetSystemMetrics(SM_CYSMICON), LR_LOADFROMFILE);
  return reinterpret_cast<IconHandle>(icon);
}

void Win32Shell::DestroyIcon(IconHandle icon) {
  if (icon != 0) {
    ::DestroyIcon(reinterpret_cast<HICON>(icon));
  }
}

bool Win32Shell::NotifyIcon(TrayAction action, const TrayData& data) {
  switch (action) {
    case TrayAction::Add: {
      HWND window = TrayOwner ? TrayOwner() : nullptr;
      if (window == nullptr || !Apply(NIM_ADD, window, data)) {
        return false;
      }
      TrayWindow = window;
      Shown = {};
      break;
    }
    case TrayAction::Modify:
      if (TrayWindow == nullptr || !Apply(NIM_MODIFY, TrayWindow, data)) {
        return false;
      }
      break;
    case TrayAction::Delete: {
      HWND window = std::exchange(TrayWindow, nullptr);
      Shown = {};
      return window != nullptr && Apply(NIM_DELETE, window, {});
    }
  }
  if ((data.Flags & NIF_MESSAGE) != 0) {
    Shown.CallbackMessage = data.CallbackMessage;
  }
  if ((data.Flags & NIF_ICON) != 0) {
    Shown.Icon = data.Icon;
  }
  if ((data.Flags & NIF_TIP) != 0) {
    Shown.Tip = data.Tip;
  }
  Shown.Flags |= data.Flags & (NIF_MESSAGE | NIF_ICON | NIF_TIP);
  return true;
}

bool Win32Shell::RestoreTrayIcon() {
  if (TrayWindow == nullptr) {
    return false;
  }
  // Where the notification area still has it (the message also comes when
  // only the taskbar was rebuilt), the icon is brought up to date instead.
  return Apply(NIM_ADD, TrayWindow, Shown) || Apply(NIM_MODIFY, TrayWindow, Shown);
}

bool Win32Shell::Apply(std::uint32_t command, HWND window, const TrayData& data) {
  NOTIFYICONDATAW record{};
  record.cbSize = sizeof(record);
  record.hWnd = window;
  record.uID = kTrayIconId;
  if (command != NIM_DELETE) {
    if ((data.Flags & NIF_MESSAGE) != 0) {
      record.uFlags |= NIF_MESSAGE;
      record.uCallbackMessage = data.CallbackMessage;
    }
    if ((data.Flags & NIF_ICON) != 0) {
      record.uFlags |= NIF_ICON;
      record.hIcon = reinterpret_cast<HICON>(data.Icon);
    }
    if ((data.Flags & NIF_TIP) != 0) {
      record.uFlags |= NIF_TIP;
      CopyTip(data.Tip, record.szTip);
    }
  }
  return Command(command, record);
}

std::int32_t Win32Shell::ClockMs() {
  return static_cast<std::int32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                       std::chrono::steady_clock::now() - kProcessStart)
                                       .count());
}

}  // namespace varo::platform

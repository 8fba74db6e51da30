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
constexpr UINT kTrayIconId = 1;

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

Win32Shell::Win32Shell(std::function<HWND__*()> trayOwner) : TrayOwner(std::move(trayOwner)) {}

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
  NOTIFYICONDATAW record{};
  record.cbSize = sizeof(record);
  record.uID = kTrayIconId;
  DWORD command = NIM_ADD;
  switch (action) {
    case TrayAction::Add:
      record.hWnd = TrayOwner ? TrayOwner() : nullptr;
      command = NIM_ADD;
      break;
    case TrayAction::Modify:
      record.hWnd = TrayWindow;
      command = NIM_MODIFY;
      break;
    case TrayAction::Delete:
      record.hWnd = TrayWindow;
      command = NIM_DELETE;
      break;
  }
  if (record.hWnd == nullptr) {
    return false;
  }
  if (action != TrayAction::Delete) {
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
  const bool done = Shell_NotifyIconW(command, &record) != FALSE;
  if (action == TrayAction::Add && done) {
    TrayWindow = record.hWnd;
  } else if (action == TrayAction::Delete) {
    TrayWindow = nullptr;
  }
  return done;
}

std::int32_t Win32Shell::ClockMs() {
  return static_cast<std::int32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                       std::chrono::steady_clock::now() - kProcessStart)
                                       .count());
}

}  // namespace varo::platform

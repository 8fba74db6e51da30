#pragma once

#include <filesystem>
#include <functional>
#include <optional>

#include "platform/Shell.h"

// A window's handle, as <windows.h> declares it (which this header leaves
// out: its LoadIcon macro would rename the member below).
struct HWND__;

namespace varo::platform {

// The shell's services on Windows: program starts through ShellExecuteW,
// icons from .ico files, the notification-area icon of the window that
// trayOwner names (its callback messages go to that window) and the
// process clock. Every call on the window's thread.
class Win32Shell final : public Shell {
 public:
  explicit Win32Shell(std::function<HWND__*()> trayOwner);
  ~Win32Shell() override;
  Win32Shell(const Win32Shell&) = delete;
  Win32Shell& operator=(const Win32Shell&) = delete;

  void Start(const StartRequest& request) override;
  IconHandle LoadIcon(const std::filesystem::path& file) override;
  void DestroyIcon(IconHandle icon) override;
  bool NotifyIcon(TrayAction action, const TrayData& data) override;
  std::int32_t ClockMs() override;

  // The file that Start hands to the system: a system program's full path
  // in the system folder (nothing for a name that is no bare name), any
  // other request's file as it is.
  static std::optional<std::filesystem::path> FileToStart(const StartRequest& request);

  // The longest tip, in UTF-16 units, that the notification area shows.
  static constexpr std::size_t kMaxTip = 127;

 private:
  const std::function<HWND__*()> TrayOwner;
  // The window the icon was added to, while it is shown.
  HWND__* TrayWindow = nullptr;
};

}  // namespace varo::platform

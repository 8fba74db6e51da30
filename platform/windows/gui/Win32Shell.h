#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "platform/Shell.h"

// A window's handle, as <windows.h> declares it (which this header leaves
// out: its LoadIcon macro would rename the member below).
struct HWND__;
// The record of Shell_NotifyIconW, as <shellapi.h> declares it.
struct _NOTIFYICONDATAW;  // NOLINT(bugprone-reserved-identifier): the system's name

namespace varo::platform {

// The shell's services on Windows: program starts through ShellExecuteW,
// icons from .ico files, the notification-area icon of the window that
// trayOwner names (its callback messages go to that window) and the
// process clock. Every call on the window's thread.
class Win32Shell final : public Shell {
 public:
  // What takes the notification-area commands: Shell_NotifyIconW, or a
  // test's stand-in.
  using TrayCommand = std::function<bool(std::uint32_t command, _NOTIFYICONDATAW& record)>;

  explicit Win32Shell(std::function<HWND__*()> trayOwner, TrayCommand command = {});
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

  // Adds the icon again as it is now (its callback, its latest icon and
  // tip), where the notification area lost it: when Explorer starts anew,
  // after a crash, it knows no icon of the programs that run. False when no
  // icon is shown or the system refused it.
  bool RestoreTrayIcon();

  // The longest tip, in UTF-16 units, that the notification area shows.
  static constexpr std::size_t kMaxTip = 127;

 private:
  bool Apply(std::uint32_t command, HWND__* window, const TrayData& data);

  const std::function<HWND__*()> TrayOwner;
  const TrayCommand Command;
  // The window the icon was added to, while it is shown.
  HWND__* TrayWindow = nullptr;
  // The icon as shown: every part ever set (Flags names them), each as last
  // set.
  TrayData Shown;
};

}  // namespace varo::platform

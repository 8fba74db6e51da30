#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

// The shell's services that the core relies on: starting programs and files,
// the notification-area icon, and the process clock. Every call is made on the
// window's thread.
namespace varo::platform {

// One program start: a bare program name (looked up in the current folder,
// then the search path) or a full path, with its parameter string.
struct StartRequest {
  std::string File;
  std::string Parameters;
  // "open", or empty for the file's default action.
  std::string Verb;
  // A bare program name that must come from the system's own program
  // folders (the system folder on Windows, the search path on POSIX), never
  // from the current folder or a relative folder of the search path.
  bool SystemProgram = false;

  friend bool operator==(const StartRequest&, const StartRequest&) = default;
};

// An icon loaded from a file; 0 is no icon.
using IconHandle = std::uintptr_t;

// Flags of a tray call: which members of TrayData the call sets.
inline constexpr std::uint32_t NIF_MESSAGE = 0x1;
inline constexpr std::uint32_t NIF_ICON = 0x2;
inline constexpr std::uint32_t NIF_TIP = 0x4;

enum class TrayAction { Add, Modify, Delete };

// The notification-area icon's record, reused for every call.
struct TrayData {
  std::uint32_t Flags = 0;
  std::uint32_t CallbackMessage = 0;
  IconHandle Icon = 0;
  std::string Tip;
};

class Shell {
 public:
  virtual ~Shell() = default;

  // Starts a program or opens a file and returns at once: never waits for
  // it, and a start that fails goes unnoticed.
  virtual void Start(const StartRequest& request) = 0;

  // Loads an icon file; 0 when it cannot be loaded.
  virtual IconHandle LoadIcon(const std::filesystem::path& file) = 0;
  virtual void DestroyIcon(IconHandle icon) = 0;

  // Adds, changes or removes the notification-area icon. False when the
  // desktop has no notification area; the program runs on without it.
  virtual bool NotifyIcon(TrayAction action, const TrayData& data) = 0;

  // Milliseconds since the process started.
  virtual std::int32_t ClockMs() = 0;
};

}  // namespace varo::platform

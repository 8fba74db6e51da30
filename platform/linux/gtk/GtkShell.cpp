#include "platform/linux/gtk/GtkShell.h"

#include <chrono>

namespace varo::platform {
namespace {

// Taken when the program is loaded, before main.
const std::chrono::steady_clock::time_point kProcessStart = std::chrono::steady_clock::now();

}  // namespace

GtkShell::~GtkShell() {
  Tray.Remove();
}

void GtkShell::Start(const StartRequest& request) {
  Starter.Start(request);
}

IconHandle GtkShell::LoadIcon(const std::filesystem::path& file) {
  return Icons.Load(file);
}

void GtkShell::DestroyIcon(IconHandle icon) {
  Icons.Destroy(icon);
}

bool GtkShell::NotifyIcon(TrayAction action, const TrayData& data) {
  switch (action) {
    case TrayAction::Add:
      return Tray.Add(
          (data.Flags & NIF_ICON) != 0 ? Icons.PngOf(data.Icon) : std::filesystem::path(),
          (data.Flags & NIF_TIP) != 0 ? data.Tip : std::string());
    case TrayAction::Modify: {
      // Called for every step of the animation: nothing to do without an
      // indicator.
      bool shown = Tray.Shown();
      if (!shown) {
        return false;
      }
      if ((data.Flags & NIF_ICON) != 0) {
        shown = Tray.SetIcon(Icons.PngOf(data.Icon));
      }
      if ((data.Flags & NIF_TIP) != 0) {
        shown = Tray.SetTip(data.Tip);
      }
      return shown;
    }
    case TrayAction::Delete:
      return Tray.Remove();
  }
  return false;
}

std::int32_t GtkShell::ClockMs() {
  return static_cast<std::int32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                       std::chrono::steady_clock::now() - kProcessStart)
                                       .count());
}

}  // namespace varo::platform

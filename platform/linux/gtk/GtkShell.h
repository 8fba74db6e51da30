#pragma once

#include "platform/Shell.h"
#include "platform/linux/gtk/IconFiles.h"
#include "platform/linux/gtk/ProgramStarter.h"
#include "platform/linux/gtk/TrayIndicator.h"

namespace varo::platform {

// The shell's services on a Linux desktop: program starts, icons, the
// notification-area icon (an indicator) and the process clock. Needs
// gtk_init first; every call on the main loop's thread.
class GtkShell final : public Shell {
 public:
  GtkShell() = default;
  ~GtkShell() override;

  void Start(const StartRequest& request) override;
  IconHandle LoadIcon(const std::filesystem::path& file) override;
  void DestroyIcon(IconHandle icon) override;
  bool NotifyIcon(TrayAction action, const TrayData& data) override;
  std::int32_t ClockMs() override;

  const TrayIndicator& GetTray() const { return Tray; }
  const IconFiles& GetIcons() const { return Icons; }

 private:
  ProgramStarter Starter;
  IconFiles Icons;
  TrayIndicator Tray;
};

}  // namespace varo::platform

#include "app/Entry.h"

#include "app/CDuiFrameWnd.h"

namespace varo {

int RunUpdater(platform::Window& window, platform::Shell& shell,
               const std::filesystem::path& programDirectory) {
  CDuiFrameWnd frame(window, shell, programDirectory);
  if (window.Create(frame, "Varo更新程序")) {
    window.CenterWindow();
    window.ShowModal();
  }
  return 0;
}

}  // namespace varo

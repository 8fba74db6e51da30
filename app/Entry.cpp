#include "app/Entry.h"

#include <iostream>

#include "app/CDuiFrameWnd.h"
#include "platform/InstallationLock.h"

namespace varo {

int RunUpdater(platform::Window& window, platform::Shell& shell,
               const std::filesystem::path& programDirectory) {
  // Taken before anything else and declared before the frame, so that it
  // is let go only after the frame's teardown has waited for every
  // download thread.
  const platform::InstallationLock lock(programDirectory);
  switch (lock.GetState()) {
    case platform::InstallationLock::State::Held:
      break;
    case platform::InstallationLock::State::Busy:
      std::cerr << "varo-update: another run is updating this installation; this one ends\n";
      return 0;
    case platform::InstallationLock::State::Unavailable:
      std::cerr << "varo-update: cannot lock the installation (" << lock.Problem()
                << "); running without the lock\n";
      break;
  }
  CDuiFrameWnd frame(window, shell, programDirectory);
  if (window.Create(frame, "Varo更新程序")) {
    window.CenterWindow();
    window.ShowModal();
  }
  return 0;
}

}  // namespace varo

#include "app/Entry.h"

#include <algorithm>
#include <iostream>
#include <string_view>

#include "app/CDuiFrameWnd.h"
#include "common/AsciiText.h"
#include "platform/InstallationLock.h"

namespace varo {

namespace {

bool AsksToVerify(std::string_view argument) {
#ifdef _WIN32
  if (EqualsIgnoringAsciiCase(argument, "/verify")) {
    return true;
  }
#endif
  return argument == "--verify";
}

}  // namespace

RunOptions ParseArguments(const std::vector<std::string>& arguments) {
  RunOptions options;
  options.VerifyFiles = std::any_of(arguments.begin(), arguments.end(),
                                    [](const std::string& a) { return AsksToVerify(a); });
  return options;
}

int RunUpdater(platform::Window& window, platform::Shell& shell,
               const std::filesystem::path& programDirectory, const RunOptions& options) {
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
  frame.VerifyFiles = options.VerifyFiles;
  if (window.Create(frame, "Varo更新程序")) {
    window.CenterWindow();
    window.ShowModal();
  }
  return 0;
}

}  // namespace varo

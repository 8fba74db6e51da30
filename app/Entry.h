#pragma once

#include <filesystem>

#include "platform/Shell.h"
#include "platform/Window.h"

namespace varo {

// The program's run, shared by every front-end: creates the main window,
// centres it, runs it modally, and tears everything down; running downloads
// are cancelled and waited for. Always 0, the process's exit code.
int RunUpdater(platform::Window& window, platform::Shell& shell,
               const std::filesystem::path& programDirectory);

}  // namespace varo

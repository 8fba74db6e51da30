#pragma once

#include <filesystem>

#include "platform/Shell.h"
#include "platform/Window.h"

namespace varo {

// The program's run, shared by every front-end: takes the installation's
// lock, creates the main window, centres it, runs it modally, and tears
// everything down; running downloads are cancelled and waited for before
// the lock is let go. While another run holds the lock, it returns at once
// without a window and without touching the installation, saying so in one
// line on standard error; when the lock cannot be taken at all it says why
// in one line and runs without it. Always 0, the process's exit code.
int RunUpdater(platform::Window& window, platform::Shell& shell,
               const std::filesystem::path& programDirectory);

}  // namespace varo

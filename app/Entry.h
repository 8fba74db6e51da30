#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "platform/Shell.h"
#include "platform/Window.h"

namespace varo {

// The program's run, shared by every front-end: takes the installation's
// lock, creates the main window, centres it, runs it modally, and tears
// everything down; running downloads are cancelled and waited for before
// the lock is let go. While another run holds the lock, it returns at once
// without a window and without touching the installation, saying so in one
// line on standard error; when the lock cannot be taken at all it says why
// in one line and runs without it. The options are handed to the window
// before it is created. Always 0, the process's exit code.
// What the command line asks of a run.
struct RunOptions {
  // Check the content of every installed file that the list gives a hash
  // for, and fetch it again when it differs, whatever its version or time.
  bool VerifyFiles = false;
};

// The options in the command line's arguments (the program's name left
// out): "--verify", and on Windows also "/verify" in any letter case, ask
// for VerifyFiles. Other arguments are ignored, as they always were.
RunOptions ParseArguments(const std::vector<std::string>& arguments);

int RunUpdater(platform::Window& window, platform::Shell& shell,
               const std::filesystem::path& programDirectory, const RunOptions& options = {});

}  // namespace varo

#pragma once

#include <filesystem>
#include <string>

#include "platform/Shell.h"
#include "transfer/CInetFile.h"

namespace varo {

// What became of one downloaded file.
enum class InstallOutcome {
  Installed,     // the new file carries the target name
  TargetLocked,  // the target is read-only or cannot be opened for reading: left alone
  MoveFailed,    // the new file could not be put in place; the old one is whole
};

// Puts the downloaded side file in target's place in one atomic step,
// then starts it (execute, with its parameters) and registers it with
// "regsvr32" (registerServer), in that order, without waiting for either.
// A target that is read-only or cannot be opened for reading is left alone
// together with the side file; nothing is started then. "regsvr32" comes
// from the system's own folders only. A new file is made executable when
// execute is set; a replacement keeps the replaced file's permissions. The
// new name reaches the disk once the caller syncs target's folder
// (InstalledFolders); the content already has.
InstallOutcome InstallDownloadedFile(platform::Shell& shell, const std::filesystem::path& sideFile,
                                     const std::filesystem::path& target, bool execute,
                                     const std::string& parameters, bool registerServer);

}  // namespace varo

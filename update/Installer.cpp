#include "update/Installer.h"

#include <system_error>

#include "catalogue/CUpdateFile.h"
#include "common/Utf8Path.h"
#include "platform/FileSystem.h"

namespace varo {

InstallOutcome InstallDownloadedFile(platform::Shell& shell, const std::filesystem::path& sideFile,
                                     const std::filesystem::path& target, bool execute,
                                     const std::string& parameters, bool registerServer) {
  if (FileExists(target)) {
    if (platform::IsReadOnly(target)) {
      return InstallOutcome::TargetLocked;
    }
  } else {
    // Present but not readable (held open without sharing, a folder, ...):
    // it cannot be replaced safely.
    std::error_code error;
    if (std::filesystem::symlink_status(target, error).type() !=
        std::filesystem::file_type::not_found) {
      return InstallOutcome::TargetLocked;
    }
  }
  if (!platform::Succeeded(
          platform::ReplaceFile(sideFile, target, execute, platform::NameDurability::Deferred))) {
    return InstallOutcome::MoveFailed;
  }
  if (execute) {
    shell.Start({PathToUtf8(target), parameters, ""});
  }
  if (registerServer) {
    shell.Start({"regsvr32", "/s \"" + PathToUtf8(target) + "\"", "", true});
  }
  return InstallOutcome::Installed;
}

}  // namespace varo

#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace varo::platform {

// One updater run per installation: an exclusive lock on the file
// ADImage/update.lock of the installation, taken at construction without
// waiting and held until destruction. The lock belongs to the open file
// (flock on POSIX), so it goes with the process however the process ends,
// and a second lock on the same installation is busy even within one
// process. Programs the run starts do not inherit it.
//
// The file is made when missing (a symbolic link at its name is never
// followed) and stays in place afterwards: only the lock counts, never the
// file's existence or content.
class InstallationLock {
 public:
  enum class State {
    // This object holds the lock.
    Held,
    // Another run holds it; this run must leave the installation alone.
    Busy,
    // The lock file cannot be made or opened (no ADImage folder, a
    // read-only installation, something other than a plain file at its
    // name). The caller runs on without the lock rather than leave the
    // client unstarted; Problem() says why.
    Unavailable,
  };

  explicit InstallationLock(const std::filesystem::path& programDirectory);
  InstallationLock(const InstallationLock&) = delete;
  InstallationLock& operator=(const InstallationLock&) = delete;
  // Releases the lock when held.
  ~InstallationLock();

  // The lock file of the installation in programDirectory.
  static std::filesystem::path FileFor(const std::filesystem::path& programDirectory) {
    return programDirectory / "ADImage" / "update.lock";
  }

  State GetState() const { return Outcome; }
  // One line naming the lock file and what is wrong with it; empty unless
  // Unavailable.
  const std::string& Problem() const { return Why; }

 private:
  State Outcome = State::Unavailable;
  std::string Why;
  // The platform's handle of the open lock file (a descriptor on POSIX);
  // -1 when none is open.
  std::intptr_t Handle = -1;
};

}  // namespace varo::platform

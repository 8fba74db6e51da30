#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "platform/InstallationLock.h"

namespace varo::platform {
namespace {

std::string Describe(int error) {
  if (error == ELOOP) {
    return "is a symbolic link, which is not followed";
  }
  return std::error_code(error, std::generic_category()).message();
}

}  // namespace

InstallationLock::InstallationLock(const std::filesystem::path& programDirectory) {
  const std::filesystem::path file = FileFor(programDirectory);
  // Read only: flock needs no more, and a file this user may not write (one
  // that a run of another user made) still takes the lock. O_NOFOLLOW: a
  // link at the name, dangling or not, fails with ELOOP instead of making or
  // locking whatever it names. O_NONBLOCK: a FIFO or device at the name
  // cannot hold the open.
  const int descriptor =
      ::open(file.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
  if (descriptor < 0) {
    Why = file.string() + ": " + Describe(errno);
    return;
  }
  struct stat info {};
  if (::fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode)) {
    Why = file.string() + ": is not a plain file";
  } else if (::flock(descriptor, LOCK_EX | LOCK_NB) == 0) {
    Outcome = State::Held;
    Handle = descriptor;
    return;
  } else if (errno == EWOULDBLOCK) {
    Outcome = State::Busy;
  } else {
    Why = file.string() + ": " + Describe(errno);
  }
  ::close(descriptor);
}

InstallationLock::~InstallationLock() {
  if (Handle >= 0) {
    // Closing the only descriptor of the open file releases its lock.
    ::close(static_cast<int>(Handle));
  }
}

}  // namespace varo::platform

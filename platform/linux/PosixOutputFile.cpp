#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/OutputFile.h"

namespace varo::platform {
namespace {

// How much is written before the system is asked to start writing it back.
constexpr std::uint64_t kWriteBehind = std::uint64_t{8} << 20;

}  // namespace

HResult OutputFile::OpenFresh(const std::filesystem::path& file) {
  // unlink never follows a link and never removes a folder.
  if (::unlink(file.c_str()) != 0 && errno != ENOENT) {
    return HResultFromError(static_cast<std::uint32_t>(errno));
  }
  const int descriptor =
      ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (descriptor < 0) {
    return HResultFromError(static_cast<std::uint32_t>(errno));
  }
  Handle = descriptor;
  return kOk;
}

HResult OutputFile::OpenExisting(const std::filesystem::path& file, std::uint64_t keep) {
  // O_NOFOLLOW: a link fails (ELOOP); O_NONBLOCK: a FIFO does not hold the
  // open, and fstat turns it away with every other special file, and with
  // a file that has another name too: what is appended would also land in
  // the file of that name, wherever it lies.
  const int descriptor =
      ::open(file.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (descriptor < 0) {
    return HResultFromError(static_cast<std::uint32_t>(errno));
  }
  struct stat status {};
  if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode) || status.st_nlink != 1 ||
      static_cast<std::uint64_t>(status.st_size) < keep) {
    ::close(descriptor);
    return HResultFromError(static_cast<std::uint32_t>(EINVAL));
  }
  // O_APPEND: the writes go after what is kept.
  if (static_cast<std::uint64_t>(status.st_size) > keep &&
      ::ftruncate(descriptor, static_cast<off_t>(keep)) != 0) {
    const auto error = static_cast<std::uint32_t>(errno);
    ::close(descriptor);
    return HResultFromError(error);
  }
  Handle = descriptor;
  return kOk;
}

bool OutputFile::WriteOut(const char* data, std::size_t size) {
  const auto descriptor = static_cast<int>(Handle);
  const std::size_t total = size;
  while (size > 0) {
    const ssize_t written = ::write(descriptor, data, size);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  // Starts putting what was written on the disk now, in the background,
  // rather than all of it in the final sync: a durable close of a large
  // file then waits only for its last blocks. Asked for every few MiB, so
  // that the disk gets large writes; pages already on their way are
  // skipped. Where the system cannot do it, the final sync does all the
  // work, as without it.
  NotStarted += total;
  if (NotStarted >= kWriteBehind) {
    NotStarted = 0;
    ::sync_file_range(descriptor, 0, 0, SYNC_FILE_RANGE_WRITE);
  }
  return true;
}

bool OutputFile::SetAside(std::uint64_t offset, std::uint64_t length) {
  // Unwritten extents: the blocks are the file's, and read as zeros until
  // written; the size stays as it is.
  return ::fallocate(static_cast<int>(Handle), FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                     static_cast<off_t>(length)) == 0;
}

bool OutputFile::Release(bool durable) {
  const auto descriptor = static_cast<int>(std::exchange(Handle, -1));
  // A file that ends short of what was planned gives back the room set
  // aside past its end: setting the size it has frees it.
  if (Reserved > Written) {
    ::ftruncate(descriptor, static_cast<off_t>(Written));
  }
  const bool synced = !durable || ::fsync(descriptor) == 0;
  return ::close(descriptor) == 0 && synced;
}

}  // namespace varo::platform

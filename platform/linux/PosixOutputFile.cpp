#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/OutputFile.h"

namespace varo::platform {
namespace {

// Large enough that the system's per-call cost vanishes beside the copy.
constexpr std::size_t kBufferSize = std::size_t{256} << 10;

bool WriteAll(int descriptor, const char* data, std::size_t size) {
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
  return true;
}

}  // namespace

OutputFile::~OutputFile() {
  if (IsOpen()) {
    Close(false);
  }
}

HResult OutputFile::Create(const std::filesystem::path& file) {
  if (IsOpen()) {
    Close(false);
  }
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
  Buffer.resize(kBufferSize);
  Held = 0;
  return kOk;
}

bool OutputFile::Write(const char* data, std::size_t size) {
  if (!IsOpen()) {
    return false;
  }
  if (Held + size > Buffer.size()) {
    if (!Flush()) {
      return false;
    }
    if (size >= Buffer.size()) {
      return WriteAll(static_cast<int>(Handle), data, size);
    }
  }
  std::memcpy(Buffer.data() + Held, data, size);
  Held += size;
  return true;
}

bool OutputFile::Flush() {
  if (!IsOpen()) {
    return false;
  }
  const std::size_t count = Held;
  Held = 0;
  return WriteAll(static_cast<int>(Handle), Buffer.data(), count);
}

bool OutputFile::Close(bool durable) {
  if (!IsOpen()) {
    return false;
  }
  bool ok = Flush();
  const auto descriptor = static_cast<int>(std::exchange(Handle, -1));
  if (ok && durable) {
    ok = ::fsync(descriptor) == 0;
  }
  ok = ::close(descriptor) == 0 && ok;
  Buffer = {};
  return ok;
}

}  // namespace varo::platform

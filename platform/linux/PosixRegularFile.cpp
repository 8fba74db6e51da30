// platform::ReadRegularFile on POSIX: the file is opened without blocking
// (a FIFO without a writer would otherwise hold open() for ever), checked to
// be a regular file on the open descriptor itself, and read with a hard
// bound, since a file may grow while it is read and some regular files (under
// /proc, for one) claim a size of 0 whatever they hold.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

#include "platform/RegularFile.h"

namespace varo::platform {
namespace {

// The smallest step by which the buffer grows past the size the file claimed.
constexpr std::size_t kGrowth = std::size_t{64} << 10;

class Descriptor {
 public:
  explicit Descriptor(int descriptor) : Value(descriptor) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (Value >= 0) {
      ::close(Value);
    }
  }
  int Get() const { return Value; }

 private:
  int Value;
};

}  // namespace

std::optional<std::string> ReadRegularFile(const std::filesystem::path& file,
                                           std::size_t maxBytes) {
  const Descriptor descriptor(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (descriptor.Get() < 0) {
    return std::nullopt;
  }
  struct stat info {};
  if (::fstat(descriptor.Get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0 ||
      static_cast<std::uintmax_t>(info.st_size) > maxBytes) {
    return std::nullopt;
  }

  // One byte beyond maxBytes is read to see that the file is larger than
  // it claimed; the buffer starts one byte beyond the claimed size for the
  // same reason, so that a file that keeps its size is read in one pass.
  const std::size_t limit =
      maxBytes == std::numeric_limits<std::size_t>::max() ? maxBytes : maxBytes + 1;
  const auto claimed = static_cast<std::size_t>(info.st_size);
  std::string content(claimed < limit ? claimed + 1 : limit, '\0');
  std::size_t filled = 0;
  for (;;) {
    if (filled == content.size()) {
      if (filled == limit) {
        break;
      }
      content.resize(std::min(limit, filled + std::max(filled, kGrowth)));
    }
    const ssize_t got = ::read(descriptor.Get(), content.data() + filled, content.size() - filled);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      return std::nullopt;
    }
    if (got == 0) {
      break;
    }
    filled += static_cast<std::size_t>(got);
  }
  if (filled > maxBytes) {
    return std::nullopt;
  }
  content.resize(filled);
  return content;
}

}  // namespace varo::platform

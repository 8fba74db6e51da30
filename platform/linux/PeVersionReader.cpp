// Reads the fixed block of the version resource of a Windows executable or
// library (a PE image) without any help from Windows, so that Linux can
// compare the Windows binaries of an installation with an update list. The
// format is read by the portable ReadFixedFileInfoFromImage; this file gives
// it the bytes of the file, range by range, with pread.
//
// Failure codes, in the Windows error numbering that HResultFromError wraps:
// those of ReadFixedFileInfoFromImage for the format, and errno when the
// file cannot be opened or read (ENOENT, EACCES, EISDIR for a directory,
// EIO ...); a failed read outranks what the missing bytes would have meant.
// What is no regular file (a FIFO, a device) is no PE image, and is never
// read.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "platform/PeImage.h"
#include "platform/VersionReader.h"

namespace varo::platform {
namespace {

constexpr HResult kNotPeImage = HResultFromError(193);

// A regular file open for reading.
class ImageFile final : public PeImageSource {
 public:
  ImageFile() = default;
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;
  ~ImageFile() override {
    if (Descriptor >= 0) {
      ::close(Descriptor);
    }
  }

  HResult Open(const std::filesystem::path& file) {
    Descriptor = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (Descriptor < 0) {
      return HResultFromError(static_cast<std::uint32_t>(errno));
    }
    struct stat info {};
    if (::fstat(Descriptor, &info) != 0) {
      return HResultFromError(static_cast<std::uint32_t>(errno));
    }
    if (S_ISDIR(info.st_mode)) {
      return HResultFromError(EISDIR);
    }
    if (!S_ISREG(info.st_mode) || info.st_size < 0) {
      return kNotPeImage;
    }
    FileSize = static_cast<std::uint64_t>(info.st_size);
    return kOk;
  }

  std::uint64_t Size() const override { return FileSize; }

  bool ReadAt(std::uint64_t offset, std::uint8_t* out, std::size_t size) override {
    while (size > 0) {
      const ssize_t got = ::pread(Descriptor, out, size, static_cast<off_t>(offset));
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (got <= 0) {
        IoError = got < 0 ? errno : EIO;  // an error, or the file shrank under us
        return false;
      }
      out += got;
      offset += static_cast<std::uint64_t>(got);
      size -= static_cast<std::size_t>(got);
    }
    return true;
  }

  // The errno of a failed read, 0 when no read failed.
  int ReadError() const { return IoError; }

 private:
  int Descriptor = -1;
  std::uint64_t FileSize = 0;
  int IoError = 0;
};

}  // namespace

HResult ReadFixedFileInfo(const std::filesystem::path& file, FixedFileInfo& info) {
  ImageFile image;
  if (const HResult opened = image.Open(file); !Succeeded(opened)) {
    return opened;
  }
  const HResult result = ReadFixedFileInfoFromImage(image, info);
  if (!Succeeded(result) && image.ReadError() != 0) {
    return HResultFromError(static_cast<std::uint32_t>(image.ReadError()));
  }
  return result;
}

}  // namespace varo::platform

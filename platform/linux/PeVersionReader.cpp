// Reads the fixed block of the version resource of a Windows executable or
// library (a PE image) without any help from Windows, so that Linux can
// compare the Windows binaries of an installation with an update list. The
// format is read by the portable ReadFixedFileInfoFromImage; this file gives
// it the bytes of the file, read with pread in aligned blocks of 16 KiB, the
// last one kept: the format reader asks for some fifteen small ranges, most
// of them next to each other (the headers, then the resource directory), and
// each read of the file is a system call.
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

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/PeImage.h"
#include "platform/VersionReader.h"

namespace varo::platform {
namespace {

constexpr HResult kNotPeImage = HResultFromError(193);
constexpr std::uint64_t kBlockSize = std::uint64_t{16} << 10;

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
      const std::uint64_t start = offset - offset % kBlockSize;
      if (start != BlockStart || Block.empty()) {
        if (!LoadBlock(start)) {
          return false;
        }
      }
      const auto within = static_cast<std::size_t>(offset - start);
      if (within >= Block.size()) {
        IoError = EIO;  // the file shrank under us
        return false;
      }
      const std::size_t taken = std::min(size, Block.size() - within);
      std::memcpy(out, Block.data() + within, taken);
      out += taken;
      offset += taken;
      size -= taken;
    }
    return true;
  }

  // The errno of a failed read, 0 when no read failed.
  int ReadError() const { return IoError; }

 private:
  // Reads the block at start (as much of it as the file holds) into Block,
  // which is left empty when nothing could be read.
  bool LoadBlock(std::uint64_t start) {
    Block.resize(
        static_cast<std::size_t>(std::min(kBlockSize, FileSize - std::min(FileSize, start))));
    BlockStart = start;
    std::size_t filled = 0;
    while (filled < Block.size()) {
      const ssize_t got = ::pread(Descriptor, Block.data() + filled, Block.size() - filled,
                                  static_cast<off_t>(start + filled));
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (got < 0) {
        IoError = errno;
        Block.clear();
        return false;
      }
      if (got == 0) {
        break;  // the file shrank under us: what is there is kept
      }
      filled += static_cast<std::size_t>(got);
    }
    Block.resize(filled);
    if (Block.empty()) {
      IoError = EIO;
      return false;
    }
    return true;
  }

  int Descriptor = -1;
  std::uint64_t FileSize = 0;
  int IoError = 0;
  std::uint64_t BlockStart = 0;
  std::vector<std::uint8_t> Block;  // the bytes from BlockStart; empty before the first read
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

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <system_error>
#include <vector>

#include "platform/FileSystem.h"

namespace varo::platform {
namespace {

// Seconds between 1601-01-01 and 1970-01-01.
constexpr std::int64_t kEpochDifference = 11644473600;

HResult LastError() {
  return HResultFromError(static_cast<std::uint32_t>(errno));
}

// A descriptor open for reading on a regular file, closed on scope exit; -1
// (with errno set) when the path is no readable file.
class ReadHandle {
 public:
  explicit ReadHandle(const std::filesystem::path& file)
      : Descriptor(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)) {
    if (Descriptor < 0) {
      return;
    }
    int error = 0;
    if (::fstat(Descriptor, &Status) != 0) {
      error = errno;
    } else if (!S_ISREG(Status.st_mode)) {
      error = S_ISDIR(Status.st_mode) ? EISDIR : EINVAL;
    }
    if (error != 0) {
      ::close(Descriptor);
      Descriptor = -1;
      errno = error;
    }
  }
  ReadHandle(const ReadHandle&) = delete;
  ReadHandle& operator=(const ReadHandle&) = delete;
  ~ReadHandle() {
    if (Descriptor >= 0) {
      ::close(Descriptor);
    }
  }
  bool Valid() const { return Descriptor >= 0; }
  // What fstat said of the open file; valid handles only.
  const struct stat& Info() const { return Status; }

 private:
  int Descriptor;
  struct stat Status {};
};

}  // namespace

bool CanOpenForReading(const std::filesystem::path& file) {
  return ReadHandle(file).Valid();
}

std::optional<std::uint64_t> GetFileSize(const std::filesystem::path& file) {
  const ReadHandle handle(file);
  if (!handle.Valid()) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(handle.Info().st_size);
}

HResult GetFileWriteTime(const std::filesystem::path& file, FileTime& time) {
  const ReadHandle handle(file);
  if (!handle.Valid()) {
    return LastError();
  }
  const struct stat& info = handle.Info();
  // Times outside what a FILETIME holds (before 1601, after about 60000)
  // become its earliest or latest value.
  constexpr std::uint64_t kTicksPerSecond = 10'000'000u;
  constexpr std::uint64_t kLatest = ~std::uint64_t{0};
  constexpr std::int64_t kLastSecond =
      static_cast<std::int64_t>(kLatest / kTicksPerSecond) - 1 - kEpochDifference;
  const std::int64_t unixSeconds = info.st_mtim.tv_sec;
  if (unixSeconds < -kEpochDifference) {
    time = FileTime{};
  } else if (unixSeconds > kLastSecond) {
    time = FileTime::FromValue(kLatest);
  } else {
    time = FileTime::FromValue(static_cast<std::uint64_t>(unixSeconds + kEpochDifference) *
                                   kTicksPerSecond +
                               static_cast<std::uint64_t>(info.st_mtim.tv_nsec) / 100u);
  }
  return kOk;
}

HResult MakeDirectory(const std::filesystem::path& directory) {
  if (::mkdir(directory.c_str(), 0755) == 0) {
    return kOk;
  }
  const HResult failure = LastError();
  struct stat info {};
  if (errno == EEXIST && ::stat(directory.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    return kOk;
  }
  return failure;  // a file of that name is no directory
}

std::optional<std::filesystem::path> CreateTempFile(std::string_view prefix) {
  std::error_code error;
  const std::filesystem::path directory = std::filesystem::temp_directory_path(error);
  if (error) {
    return std::nullopt;
  }
  const std::string suffix = ".tmp";
  std::string name = (directory / (std::string(prefix) + "XXXXXX" + suffix)).string();
  std::vector<char> buffer(name.begin(), name.end());
  buffer.push_back('\0');
  const int descriptor = ::mkostemps(buffer.data(), static_cast<int>(suffix.size()), O_CLOEXEC);
  if (descriptor < 0) {
    return std::nullopt;
  }
  ::close(descriptor);
  return std::filesystem::path(buffer.data());
}

bool RemoveFile(const std::filesystem::path& file) {
  return ::unlink(file.c_str()) == 0 || errno == ENOENT;
}

HResult ReplaceFile(const std::filesystem::path& source, const std::filesystem::path& target,
                    bool executable, NameDurability durability) {
  // The replaced file's permission bits, taken from the file itself (a link
  // at the target is replaced, not followed).
  struct stat old {};
  mode_t mode = executable ? 0755 : 0644;
  if (::lstat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
    mode = old.st_mode & 0777;
  }
  const int descriptor = ::open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (descriptor < 0) {
    return LastError();
  }
  struct stat info {};
  if (::fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode) ||
      ::fchmod(descriptor, mode) != 0) {
    const HResult failure = S_ISREG(info.st_mode) ? LastError() : HResultFromError(EINVAL);
    ::close(descriptor);
    return failure;
  }
  ::close(descriptor);
  if (::rename(source.c_str(), target.c_str()) != 0) {
    return LastError();
  }
  // The rename itself reaches the disk with the folder that holds it.
  if (durability == NameDurability::Immediate) {
    SyncFolder(target.has_parent_path() ? target.parent_path() : std::filesystem::path("."));
  }
  return kOk;
}

void SyncFolder(const std::filesystem::path& folder) {
  const int directory = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory >= 0) {
    ::fsync(directory);
    ::close(directory);
  }
}

bool ResolvesWithin(const std::filesystem::path& base, const std::filesystem::path& file) {
  std::error_code error;
  const std::filesystem::path root = std::filesystem::weakly_canonical(base, error);
  if (error) {
    return false;
  }
  const std::filesystem::path resolved = std::filesystem::weakly_canonical(file, error);
  if (error) {
    return false;
  }
  auto inside = resolved.begin();
  for (auto part = root.begin(); part != root.end(); ++part, ++inside) {
    if (part->empty()) {
      continue;  // the trailing separator of a folder path
    }
    if (inside == resolved.end() || *inside != *part) {
      return false;
    }
  }
  return true;
}

bool IsLink(const std::filesystem::path& file) {
  struct stat info {};
  if (::lstat(file.c_str(), &info) != 0) {
    return errno != ENOENT && errno != ENOTDIR;
  }
  return S_ISLNK(info.st_mode);
}

bool MayHoldLinks(const std::filesystem::path& folder) {
  DIR* const listing = ::opendir(folder.c_str());
  if (listing == nullptr) {
    return true;
  }
  bool links = false;
  for (;;) {
    errno = 0;
    // The stream is this call's own; readdir shares nothing between streams.
    const dirent* entry = ::readdir(listing);  // NOLINT(concurrency-mt-unsafe)
    if (entry == nullptr) {
      links = errno != 0;  // a listing that broke off tells nothing
      break;
    }
    if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) {
      links = true;
      break;
    }
  }
  ::closedir(listing);
  return links;
}

bool IsReadOnly(const std::filesystem::path& file) {
  struct stat info {};
  return ::stat(file.c_str(), &info) == 0 && (info.st_mode & S_IWUSR) == 0;
}

std::filesystem::path ProgramDirectory() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) {
    return std::filesystem::current_path(error);
  }
  return self.parent_path();
}

std::optional<std::filesystem::path> WindowsDirectory() {
  return std::nullopt;
}

std::optional<std::filesystem::path> SystemDirectory() {
  return std::nullopt;
}

}  // namespace varo::platform

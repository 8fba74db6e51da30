#include <windows.h>

#include <algorithm>
#include <cstdint>

#include "platform/RegularFile.h"
#include "platform/windows/WinLongPath.h"

namespace varo::platform {
namespace {

struct HandleCloser {
  explicit HandleCloser(HANDLE handle) : Handle(handle) {}
  HandleCloser(const HandleCloser&) = delete;
  HandleCloser& operator=(const HandleCloser&) = delete;
  ~HandleCloser() { ::CloseHandle(Handle); }
  HANDLE Handle;
};

}  // namespace

std::optional<std::string> ReadRegularFile(const std::filesystem::path& file,
                                           std::size_t maxBytes) {
  // Read sharing only; a device, pipe or folder is refused by its type below
  // before anything is read.
  const HANDLE handle = ::CreateFileW(LongPath(file).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return std::nullopt;
  }
  const HandleCloser closer{handle};
  BY_HANDLE_FILE_INFORMATION info{};
  if (::GetFileType(handle) != FILE_TYPE_DISK || !::GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return std::nullopt;
  }
  const std::uint64_t size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  if (size > maxBytes) {
    return std::nullopt;
  }
  // At most maxBytes + 1 bytes are read, whatever the size claimed.
  std::string content(static_cast<std::size_t>(size) + 1, '\0');
  std::size_t held = 0;
  for (;;) {
    const std::size_t room = content.size() - held;
    DWORD read = 0;
    const auto ask = static_cast<DWORD>(std::min<std::size_t>(room, 1u << 20));
    if (!::ReadFile(handle, content.data() + held, ask, &read, nullptr)) {
      return std::nullopt;
    }
    if (read == 0) {
      break;
    }
    held += read;
    if (held > maxBytes) {
      return std::nullopt;
    }
    if (held == content.size()) {
      content.resize(std::min<std::size_t>(content.size() * 2, maxBytes + 1));
    }
  }
  content.resize(held);
  return content;
}

}  // namespace varo::platform

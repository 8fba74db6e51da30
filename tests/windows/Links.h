#pragma once

// Links and Wine for the Windows tests: making symbolic links and junctions
// where the system allows, and telling whether the tests run under Wine.

#include <windows.h>
#include <winioctl.h>

#include <cstddef>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace varo::test {

// True under Wine, which exports wine_get_version from ntdll.
inline bool RunningUnderWine() {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Why a test that needs a link is skipped where none can be made. Wine 8's
// CreateSymbolicLinkW returns success without making anything, and its
// FSCTL_SET_REPARSE_POINT fails with ERROR_NOT_SUPPORTED.
inline constexpr const char* kNoLinks =
    "no symbolic link or junction can be made here (under Wine, CreateSymbolicLinkW makes "
    "nothing and FSCTL_SET_REPARSE_POINT is not supported)";

// True when a reparse point stands at the name (the link itself, not what
// it names).
inline bool IsReparsePoint(const std::filesystem::path& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Makes a symbolic link at link to target (a folder when directory). True
// when a reparse point now stands at link: some systems report success
// without making one.
inline bool MakeSymbolicLink(const std::filesystem::path& link, const std::filesystem::path& target,
                             bool directory) {
  constexpr DWORD kUnprivileged = 0x2;  // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
  const DWORD flags = kUnprivileged | (directory ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0);
  return ::CreateSymbolicLinkW(link.c_str(), target.c_str(), flags) && IsReparsePoint(link);
}

// Makes an NTFS junction (a mount-point reparse point) at link, a new folder,
// leading to the absolute folder target. True when it stands there.
inline bool MakeJunction(const std::filesystem::path& link, const std::filesystem::path& target) {
  if (!::CreateDirectoryW(link.c_str(), nullptr)) {
    return false;
  }
  const std::wstring substitute = L"\\??\\" + target.wstring();
  const std::wstring print = target.wstring();
  // REPARSE_DATA_BUFFER with its mount-point part: tag, data length,
  // reserved, four offsets and lengths in bytes, then both names, each with
  // a terminating null.
  const std::size_t names = (substitute.size() + 1 + print.size() + 1) * sizeof(wchar_t);
  std::vector<char> buffer(8 + 8 + names, '\0');
  const auto put16 = [&](std::size_t at, std::size_t value) {
    const auto word = static_cast<WORD>(value);
    std::memcpy(buffer.data() + at, &word, sizeof word);
  };
  const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
  std::memcpy(buffer.data(), &tag, sizeof tag);
  put16(4, 8 + names);
  put16(8, 0);
  put16(10, substitute.size() * sizeof(wchar_t));
  put16(12, (substitute.size() + 1) * sizeof(wchar_t));
  put16(14, print.size() * sizeof(wchar_t));
  std::memcpy(buffer.data() + 16, substitute.c_str(), (substitute.size() + 1) * sizeof(wchar_t));
  std::memcpy(buffer.data() + 16 + (substitute.size() + 1) * sizeof(wchar_t), print.c_str(),
              (print.size() + 1) * sizeof(wchar_t));

  const HANDLE folder =
      ::CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (folder == INVALID_HANDLE_VALUE) {
    return false;
  }
  DWORD returned = 0;
  const bool made =
      ::DeviceIoControl(folder, FSCTL_SET_REPARSE_POINT, buffer.data(),
                        static_cast<DWORD>(buffer.size()), nullptr, 0, &returned, nullptr) != 0;
  ::CloseHandle(folder);
  return made && IsReparsePoint(link);
}

}  // namespace varo::test

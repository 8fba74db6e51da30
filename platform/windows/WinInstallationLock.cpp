#include <windows.h>

#include <string>

#include "common/Utf8Path.h"
#include "platform/InstallationLock.h"
#include "platform/windows/WinLongPath.h"

namespace varo::platform {
namespace {

// The system's text for an error, as UTF-8 without the closing line break.
std::string Describe(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring wide = length == 0 ? std::wstring() : std::wstring(text, length);
  ::LocalFree(text);
  while (!wide.empty() && (wide.back() == L'\n' || wide.back() == L'\r' || wide.back() == L' ')) {
    wide.pop_back();
  }
  if (wide.empty()) {
    return "error " + std::to_string(error);
  }
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), narrow.data(), size,
                        nullptr, nullptr);
  return narrow + " (error " + std::to_string(error) + ")";
}

}  // namespace

InstallationLock::InstallationLock(const std::filesystem::path& programDirectory) {
  const std::filesystem::path file = FileFor(programDirectory);
  // Share mode 0: the open file itself is the lock, so a second open, in
  // this process or another, fails with a sharing violation until this
  // handle closes, however the process ends. The handle is not inheritable.
  // A reparse point at the name is opened as itself, never followed.
  const std::wstring name = LongPath(file);
  const HANDLE handle =
      ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    const DWORD attributes = ::GetFileAttributesW(name.c_str());
    if (error == ERROR_SHARING_VIOLATION) {
      Outcome = State::Busy;
    } else if (attributes != INVALID_FILE_ATTRIBUTES &&
               (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      Why = PathToUtf8(file) + ": is a folder, not a plain file";
    } else {
      Why = PathToUtf8(file) + ": " + Describe(error);
    }
    return;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (::GetFileType(handle) != FILE_TYPE_DISK || !::GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    Why = PathToUtf8(file) + ": is not a plain file";
  } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    Why = PathToUtf8(file) + ": is a link (reparse point), which is not followed";
  } else {
    Outcome = State::Held;
    Handle = reinterpret_cast<std::intptr_t>(handle);
    return;
  }
  ::CloseHandle(handle);
}

InstallationLock::~InstallationLock() {
  if (Handle >= 0) {
    // Closing the only handle of the open file releases the lock.
    ::CloseHandle(reinterpret_cast<HANDLE>(Handle));
  }
}

}  // namespace varo::platform

#include <windows.h>

#include <algorithm>
#include <string>
#include <utility>

#include "platform/OutputFile.h"
#include "platform/windows/WinLongPath.h"

namespace varo::platform {
namespace {

// The most one WriteFile call is given.
constexpr std::size_t kMostPerCall = std::size_t{1} << 30;

HANDLE AsHandle(std::intptr_t value) {
  return reinterpret_cast<HANDLE>(value);
}

}  // namespace

namespace {

// ERROR_SUCCESS when handle is an ordinary file on a disk: no device (NUL,
// CON), no folder, no reparse point; with soleName, also no file that has
// another name (a hard link), where what is written would show too.
DWORD RefusalOf(HANDLE handle, bool soleName = false) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (::GetFileType(handle) != FILE_TYPE_DISK) {
    return ERROR_INVALID_PARAMETER;
  }
  if (!::GetFileInformationByHandle(handle, &info)) {
    return ::GetLastError();
  }
  if ((info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
      (soleName && info.nNumberOfLinks != 1)) {
    return ERROR_INVALID_PARAMETER;
  }
  return ERROR_SUCCESS;
}

}  // namespace

HResult OutputFile::OpenExisting(const std::filesystem::path& file, std::uint64_t keep) {
  // OPEN_EXISTING creates nothing; a reparse point is opened as itself and
  // then turned away, never followed.
  const HANDLE handle = ::CreateFileW(LongPath(file).c_str(), GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return HResultFromError(::GetLastError());
  }
  DWORD refusal = RefusalOf(handle, true);
  LARGE_INTEGER length{};
  if (refusal == ERROR_SUCCESS && !::GetFileSizeEx(handle, &length)) {
    refusal = ::GetLastError();
  } else if (refusal == ERROR_SUCCESS && static_cast<std::uint64_t>(length.QuadPart) < keep) {
    refusal = ERROR_INVALID_PARAMETER;
  } else if (refusal == ERROR_SUCCESS) {
    LARGE_INTEGER end{};
    end.QuadPart = static_cast<LONGLONG>(keep);
    if (!::SetFilePointerEx(handle, end, nullptr, FILE_BEGIN) ||
        (length.QuadPart > end.QuadPart && !::SetEndOfFile(handle))) {
      refusal = ::GetLastError();
    }
  }
  if (refusal != ERROR_SUCCESS) {
    ::CloseHandle(handle);
    return HResultFromError(refusal);
  }
  Handle = reinterpret_cast<std::intptr_t>(handle);
  return kOk;
}

HResult OutputFile::OpenFresh(const std::filesystem::path& file) {
  // DeleteFileW removes a link itself, never what it names, and never
  // removes a folder.
  const std::wstring name = LongPath(file);
  if (!::DeleteFileW(name.c_str())) {
    const DWORD error = ::GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
      return HResultFromError(error);
    }
  }
  // CREATE_NEW: nothing that appeared at the name since is reused. No
  // sharing: nobody reads a half-written file. A reparse point is opened as
  // itself, never followed.
  const HANDLE handle =
      ::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return HResultFromError(::GetLastError());
  }
  const DWORD refusal = RefusalOf(handle);
  if (refusal != ERROR_SUCCESS) {
    ::CloseHandle(handle);
    return HResultFromError(refusal);
  }
  Handle = reinterpret_cast<std::intptr_t>(handle);
  return kOk;
}

bool OutputFile::WriteOut(const char* data, std::size_t size) {
  while (size > 0) {
    DWORD written = 0;
    const auto ask = static_cast<DWORD>(std::min(size, kMostPerCall));
    if (!::WriteFile(AsHandle(Handle), data, ask, &written, nullptr) || written == 0) {
      return false;
    }
    data += written;
    size -= written;
  }
  return true;
}

bool OutputFile::SetAside(std::uint64_t /*offset*/, std::uint64_t /*length*/) {
  return false;  // not done here: the file grows as it is written
}

bool OutputFile::Release(bool durable) {
  const HANDLE handle = AsHandle(std::exchange(Handle, -1));
  const bool flushed = !durable || ::FlushFileBuffers(handle) != 0;
  return ::CloseHandle(handle) != 0 && flushed;
}

}  // namespace varo::platform

#include <windows.h>
// <windows.h> maps the name to ReplaceFileW; ours is platform::ReplaceFile.
#undef ReplaceFile

#include <cstddef>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/windows/WinLongPath.h"

namespace varo::platform {
namespace {

namespace fs = std::filesystem;

HResult LastError() {
  return HResultFromError(::GetLastError());
}

// An open handle, closed on scope exit; INVALID_HANDLE_VALUE when none.
class Handle {
 public:
  explicit Handle(HANDLE handle) : Value(handle) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (Valid()) {
      ::CloseHandle(Value);
    }
  }
  bool Valid() const { return Value != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return Value; }

 private:
  HANDLE Value;
};

// What a handle says of its file: false (with the last error set) when that
// cannot be learnt or the handle is on no disk file (a device, a pipe).
bool DescribeDiskFile(HANDLE handle, BY_HANDLE_FILE_INFORMATION& info) {
  if (::GetFileType(handle) != FILE_TYPE_DISK) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  return ::GetFileInformationByHandle(handle, &info) != 0;
}

// Opens a file for reading as any reader would (sharing reading only), and
// learns what it is. Invalid (with the last error set) when the path names
// no file that can be opened so: a folder, a device, a missing file, a file
// another holds open for writing.
class ReadHandle {
 public:
  explicit ReadHandle(const fs::path& file)
      : File(::CreateFileW(LongPath(file).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)) {
    if (!File.Valid()) {
      return;
    }
    if (!DescribeDiskFile(File.Get(), Info)) {
      return;
    }
    if ((Info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      ::SetLastError(ERROR_ACCESS_DENIED);  // as opening a folder for reading fails
      return;
    }
    Good = true;
  }
  bool Valid() const { return Good; }
  const BY_HANDLE_FILE_INFORMATION& Information() const { return Info; }

 private:
  Handle File;
  BY_HANDLE_FILE_INFORMATION Info{};
  bool Good = false;
};

bool IsAbsent(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// The path the system gives an open file or folder after following every
// reparse point, without the \\?\ prefix. Nothing when it cannot tell.
std::optional<fs::path> FinalPathOfSystem(HANDLE handle) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = ::GetFinalPathNameByHandleW(
        handle, buffer.data(), static_cast<DWORD>(buffer.size()), FILE_NAME_NORMALIZED);
    if (length == 0) {
      return std::nullopt;
    }
    if (length < buffer.size()) {
      buffer.resize(length);
      break;
    }
    buffer.resize(length);  // the size needed, with the terminating null
  }
  return WithoutLongPrefix(std::move(buffer));
}

// The serial number of the volume whose root is root; nothing when unknown.
std::optional<DWORD> VolumeSerial(const fs::path& root) {
  DWORD serial = 0;
  if (!::GetVolumeInformationW(root.c_str(), nullptr, 0, &serial, nullptr, nullptr, nullptr, 0)) {
    return std::nullopt;
  }
  return serial;
}

// The same, where GetFinalPathNameByHandleW cannot give it (Wine's fails
// for any path longer than MAX_PATH): the name the file system gives the
// open file below its volume's root, put below the root of opened (the path
// the handle was opened by), provided the handle is on that very volume.
// Nothing otherwise: a reparse point that leads to another volume is no
// place to guess at.
std::optional<fs::path> FinalPathOnVolume(HANDLE handle, const fs::path& opened) {
  const fs::path root = opened.root_path();
  BY_HANDLE_FILE_INFORMATION info{};
  const std::optional<DWORD> serial = VolumeSerial(root);
  if (root.empty() || !serial || !::GetFileInformationByHandle(handle, &info) ||
      info.dwVolumeSerialNumber != *serial) {
    return std::nullopt;
  }
  // FILE_NAME_INFO: a length in bytes, then that many bytes of name.
  const DWORD most = sizeof(FILE_NAME_INFO) + 32768 * sizeof(wchar_t);
  std::vector<std::byte> buffer(most);
  auto* name = reinterpret_cast<FILE_NAME_INFO*>(buffer.data());
  if (!::GetFileInformationByHandleEx(handle, FileNameInfo, name, most)) {
    return std::nullopt;
  }
  std::wstring_view below(name->FileName, name->FileNameLength / sizeof(wchar_t));
  while (!below.empty() && below.front() == L'\\') {
    below.remove_prefix(1);
  }
  return root / below;
}

std::optional<fs::path> FinalPath(HANDLE handle, const fs::path& opened) {
  if (std::optional<fs::path> final = FinalPathOfSystem(handle)) {
    return final;
  }
  return FinalPathOnVolume(handle, opened);
}

// The path with every reparse point on the part of it that exists followed,
// and the part that does not exist appended as written. Nothing when a name
// on the path exists but cannot be followed (a link to nothing, a folder
// that may not be opened): where it leads is unknown.
std::optional<fs::path> Resolve(const fs::path& path) {
  std::error_code error;
  fs::path existing = fs::absolute(path, error).lexically_normal();
  if (error) {
    return std::nullopt;
  }
  if (existing.filename().empty() && existing.has_relative_path()) {
    existing = existing.parent_path();  // a trailing separator
  }
  fs::path rest;
  for (;;) {
    // No access asked for: only the name is resolved. Backup semantics let
    // a folder be opened.
    const Handle opened(::CreateFileW(LongPath(existing).c_str(), 0,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (opened.Valid()) {
      const std::optional<fs::path> final = FinalPath(opened.Get(), existing);
      if (!final) {
        return std::nullopt;
      }
      return rest.empty() ? *final : (*final / rest).lexically_normal();
    }
    if (!IsAbsent(::GetLastError()) ||
        ::GetFileAttributesW(LongPath(existing).c_str()) != INVALID_FILE_ATTRIBUTES ||
        !existing.has_relative_path()) {
      return std::nullopt;
    }
    rest = rest.empty() ? existing.filename() : existing.filename() / rest;
    existing = existing.parent_path();
  }
}

// Names compare as the file system compares them: without regard to case.
bool SameName(const fs::path& a, const fs::path& b) {
  return ::CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// The wide text of UTF-8 text; empty when it is no valid UTF-8.
std::wstring Widen(std::string_view text) {
  if (text.empty()) {
    return {};
  }
  const int length = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                           static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  if (length > 0) {
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                          wide.data(), length);
  }
  return wide;
}

}  // namespace

bool CanOpenForReading(const fs::path& file) {
  return ReadHandle(file).Valid();
}

std::optional<std::uint64_t> GetFileSize(const fs::path& file) {
  const ReadHandle handle(file);
  if (!handle.Valid()) {
    return std::nullopt;
  }
  const BY_HANDLE_FILE_INFORMATION& info = handle.Information();
  return (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
}

HResult GetFileWriteTime(const fs::path& file, FileTime& time) {
  const ReadHandle handle(file);
  if (!handle.Valid()) {
    return LastError();
  }
  const FILETIME written = handle.Information().ftLastWriteTime;
  time = FileTime{written.dwLowDateTime, written.dwHighDateTime};
  return kOk;
}

HResult MakeDirectory(const fs::path& directory) {
  const std::wstring name = LongPath(directory);
  if (::CreateDirectoryW(name.c_str(), nullptr)) {
    return kOk;
  }
  const DWORD error = ::GetLastError();
  const DWORD attributes = ::GetFileAttributesW(name.c_str());
  if (error == ERROR_ALREADY_EXISTS && attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return kOk;
  }
  return HResultFromError(error);  // a file of that name is no directory
}

std::optional<fs::path> CreateTempFile(std::string_view prefix) {
  std::wstring directory(MAX_PATH + 1, L'\0');
  for (;;) {
    const DWORD length = ::GetTempPathW(static_cast<DWORD>(directory.size()), directory.data());
    if (length == 0) {
      return std::nullopt;
    }
    if (length < directory.size()) {
      directory.resize(length);
      break;
    }
    directory.resize(length + 1);
  }
  // As GetTempFileNameW names them (which takes no folder longer than
  // MAX_PATH - 14): at most three characters of the prefix, then a number
  // in hex and ".tmp". CREATE_NEW makes the file only where no file of that
  // name is; a name taken is passed over.
  std::wstring start = Widen(prefix).substr(0, 3);
  if (!directory.empty() && directory.back() != L'\\') {
    directory += L'\\';
  }
  const DWORD seed = ::GetTickCount() ^ (::GetCurrentProcessId() << 16);
  for (DWORD attempt = 0; attempt < 0x10000; ++attempt) {
    std::wstring number;
    for (DWORD value = (seed + attempt) & 0xFFFF; number.empty() || value != 0; value >>= 4) {
      number.insert(number.begin(), L"0123456789ABCDEF"[value & 0xF]);
    }
    std::wstring file = directory;
    file.append(start).append(number).append(L".tmp");
    const fs::path name(std::move(file));
    const Handle created(::CreateFileW(LongPath(name).c_str(), GENERIC_WRITE, 0, nullptr,
                                       CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (created.Valid()) {
      return name;
    }
    // Taken: a file or folder of that name (a folder, or a file being
    // deleted, answers "access denied").
    const DWORD error = ::GetLastError();
    const bool taken = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ||
                       (error == ERROR_ACCESS_DENIED &&
                        ::GetFileAttributesW(LongPath(name).c_str()) != INVALID_FILE_ATTRIBUTES);
    if (!taken) {
      return std::nullopt;  // no file can be made in that folder
    }
  }
  return std::nullopt;
}

bool RemoveFile(const fs::path& file) {
  return ::DeleteFileW(LongPath(file).c_str()) || IsAbsent(::GetLastError());
}

HResult ReplaceFile(const fs::path& source, const fs::path& target, bool executable,
                    NameDurability /*durability*/) {
  // Windows has no such mark on a file; the move below always writes
  // through.
  static_cast<void>(executable);
  {
    // The source itself, not what a reparse point at its name leads to.
    const Handle opened(::CreateFileW(
        LongPath(source).c_str(), FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!opened.Valid()) {
      return LastError();
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!DescribeDiskFile(opened.Get(), info)) {
      return LastError();
    }
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
      return HResultFromError(ERROR_INVALID_PARAMETER);
    }
  }
  // Without MOVEFILE_COPY_ALLOWED the move is a rename on one volume: the
  // target is replaced whole or not at all. Write-through makes the new
  // name reach the disk before the call returns.
  if (!::MoveFileExW(LongPath(source).c_str(), LongPath(target).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return LastError();
  }
  return kOk;
}

void SyncFolder(const fs::path& /*folder*/) {}

bool ResolvesWithin(const fs::path& base, const fs::path& file) {
  const std::optional<fs::path> root = Resolve(base);
  const std::optional<fs::path> resolved = Resolve(file);
  if (!root || !resolved) {
    return false;
  }
  auto inside = resolved->begin();
  for (auto part = root->begin(); part != root->end(); ++part, ++inside) {
    if (part->empty()) {
      continue;  // the trailing separator of a folder path
    }
    if (inside == resolved->end() || !SameName(*inside, *part)) {
      return false;
    }
  }
  return true;
}

bool IsLink(const fs::path& file) {
  const DWORD attributes = ::GetFileAttributesW(LongPath(file).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return !IsAbsent(::GetLastError());
  }
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool MayHoldLinks(const fs::path& folder) {
  WIN32_FIND_DATAW found{};
  const HANDLE listing =
      ::FindFirstFileExW(LongPath(folder / L"*").c_str(), FindExInfoBasic, &found,
                         FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (listing == INVALID_HANDLE_VALUE) {
    return true;
  }
  bool links = false;
  for (;;) {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      links = true;
      break;
    }
    if (!::FindNextFileW(listing, &found)) {
      links = ::GetLastError() != ERROR_NO_MORE_FILES;  // a listing that broke off tells nothing
      break;
    }
  }
  ::FindClose(listing);
  return links;
}

bool IsReadOnly(const fs::path& file) {
  const DWORD attributes = ::GetFileAttributesW(LongPath(file).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

fs::path ProgramDirectory() {
  // The longest path Windows knows is 32767 characters; the buffer grows
  // until the name fits.
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) {
      std::error_code error;
      return fs::current_path(error);
    }
    if (length < buffer.size()) {
      // A program started by its \\?\ path is told that path.
      buffer.resize(length);
      return WithoutLongPrefix(std::move(buffer)).parent_path();
    }
    buffer.resize(buffer.size() * 2);
  }
}

namespace {

// A folder the system reports through a call of GetWindowsDirectoryW's
// shape: the length it needs when the buffer is too small.
std::optional<fs::path> ReportedFolder(UINT(WINAPI* report)(LPWSTR, UINT)) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const UINT length = report(buffer.data(), static_cast<UINT>(buffer.size()));
    if (length == 0) {
      return std::nullopt;
    }
    if (length < buffer.size()) {
      buffer.resize(length);
      return fs::path(buffer);
    }
    buffer.resize(length);
  }
}

}  // namespace

std::optional<fs::path> WindowsDirectory() {
  return ReportedFolder(&::GetWindowsDirectoryW);
}

std::optional<fs::path> SystemDirectory() {
  return ReportedFolder(&::GetSystemDirectoryW);
}

}  // namespace varo::platform

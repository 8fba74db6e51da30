// Reads the fixed block of the version resource of a Windows executable or
// library with the system's VERSION library.
//
// Failure codes, in the Windows error numbering that HResultFromError wraps:
// the system's last error when the version information cannot be had (2 for
// a missing file, 5 for a folder ...), with a missing version resource always
// reported as 1813 ERROR_RESOURCE_TYPE_NOT_FOUND, as the portable reader of
// platform/PeImage.h does; and 13 ERROR_INVALID_DATA when the version
// information has no fixed block of the right size and signature. A failure
// leaves info untouched.

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/VersionReader.h"
#include "platform/windows/WinLongPath.h"

namespace varo::platform {
namespace {

constexpr HResult kMalformed = HResultFromError(ERROR_INVALID_DATA);
constexpr std::uint32_t kFixedInfoSignature = 0xFEEF04BD;

static_assert(sizeof(VS_FIXEDFILEINFO) == sizeof(FixedFileInfo));

HResult LastError() {
  const DWORD error = ::GetLastError();
  // 1812 ERROR_RESOURCE_DATA_NOT_FOUND: the image has no resources at all,
  // so no version resource either. (Wine reports it for any file without
  // version information, even one that is no image.)
  return HResultFromError(error == ERROR_RESOURCE_DATA_NOT_FOUND ? ERROR_RESOURCE_TYPE_NOT_FOUND
                                                                 : error);
}

}  // namespace

HResult ReadFixedFileInfo(const std::filesystem::path& file, FixedFileInfo& info) {
  // The version calls load the file as an image; a path too long for them
  // as it stands goes in its \\?\ form, any other path as given.
  const std::wstring name = file.native().size() < MAX_PATH ? file.native() : LongPath(file);
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(name.c_str(), &ignored);
  if (size == 0) {
    return LastError();
  }
  std::vector<std::uint8_t> block(size);
  if (!::GetFileVersionInfoW(name.c_str(), 0, size, block.data())) {
    return LastError();
  }
  void* value = nullptr;
  UINT length = 0;
  if (!::VerQueryValueW(block.data(), L"\\", &value, &length) || value == nullptr ||
      length < sizeof(VS_FIXEDFILEINFO)) {
    return kMalformed;
  }
  VS_FIXEDFILEINFO fixed{};
  std::memcpy(&fixed, value, sizeof(fixed));
  if (fixed.dwSignature != kFixedInfoSignature) {
    return kMalformed;
  }
  info = FixedFileInfo{
      fixed.dwSignature,     fixed.dwStrucVersion,     fixed.dwFileVersionMS,
      fixed.dwFileVersionLS, fixed.dwProductVersionMS, fixed.dwProductVersionLS,
      fixed.dwFileFlagsMask, fixed.dwFileFlags,        fixed.dwFileOS,
      fixed.dwFileType,      fixed.dwFileSubtype,      fixed.dwFileDateMS,
      fixed.dwFileDateLS,
  };
  return kOk;
}

}  // namespace varo::platform

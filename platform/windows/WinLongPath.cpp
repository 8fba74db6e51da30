#include "platform/windows/WinLongPath.h"

#include <windows.h>

#include <string_view>

namespace varo::platform {
namespace {

constexpr std::wstring_view kLocalPrefix = L"\\\\?\\";
constexpr std::wstring_view kSharePrefix = L"\\\\?\\UNC\\";
constexpr std::wstring_view kDevicePrefix = L"\\\\.\\";

// The full path of path as GetFullPathNameW makes it; empty when it cannot.
std::wstring FullPath(const std::wstring& path) {
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length == 0) {
      return {};
    }
    if (length < full.size()) {
      full.resize(length);
      return full;
    }
    full.resize(length);  // the size needed, with the terminating null
  }
}

}  // namespace

std::wstring LongPath(const std::filesystem::path& path) {
  const std::wstring& given = path.native();
  if (given.empty() || given.starts_with(kLocalPrefix) || given.starts_with(kDevicePrefix)) {
    return given;
  }
  std::wstring full = FullPath(given);
  if (full.empty() || full.starts_with(kLocalPrefix) || full.starts_with(kDevicePrefix)) {
    // A device name comes back as \\.\NAME, which needs no prefix.
    return full.empty() ? given : full;
  }
  if (full.starts_with(L"\\\\")) {
    return std::wstring(kSharePrefix) + full.substr(2);
  }
  if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\') {
    return std::wstring(kLocalPrefix) + full;
  }
  return full;  // no form the prefix is known for
}

std::filesystem::path WithoutLongPrefix(std::wstring path) {
  if (path.starts_with(kSharePrefix)) {
    return L"\\\\" + path.substr(kSharePrefix.size());
  }
  if (path.starts_with(kLocalPrefix)) {
    return path.substr(kLocalPrefix.size());
  }
  return path;
}

}  // namespace varo::platform

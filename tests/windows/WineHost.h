#pragma once

#include <windows.h>

#include <filesystem>
#include <string>
#include <string_view>

#include "common/Utf8Path.h"

namespace varo::test {

// True when the test runs under Wine rather than on Windows.
inline bool RunningUnderWine() {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// A path of the build host, such as VARO_SOURCE_DIR, as the test program
// sees it: Wine shows the host's root folder as the drive Z:.
inline std::filesystem::path HostPath(std::string_view unixPath) {
  return PathFromUtf8("Z:" + std::string(unixPath));
}

}  // namespace varo::test

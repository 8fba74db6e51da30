#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "common/Utf8Path.h"

namespace varo::test {

// A path of the build host, such as VARO_SOURCE_DIR, as the test program
// sees it: unchanged on Linux; under Wine the host's root folder is the
// drive Z:.
inline std::filesystem::path BuildHostPath(std::string_view hostPath) {
#ifdef _WIN32
  return PathFromUtf8("Z:" + std::string(hostPath));
#else
  return PathFromUtf8(hostPath);
#endif
}

// A file or folder of the source tree, given relative to its top.
inline std::filesystem::path SourcePath(std::string_view relative) {
  return BuildHostPath(VARO_SOURCE_DIR) / PathFromUtf8(relative);
}

// A fixture that the build makes, given relative to VARO_FIXTURE_DIR.
inline std::filesystem::path FixturePath(std::string_view relative) {
  return BuildHostPath(VARO_FIXTURE_DIR) / PathFromUtf8(relative);
}

}  // namespace varo::test

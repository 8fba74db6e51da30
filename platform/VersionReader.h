#pragma once

#include <cstdint>
#include <filesystem>

#include "platform/Result.h"

namespace varo::platform {

// The fixed block of a version resource (VS_FIXEDFILEINFO), 13 words.
struct FixedFileInfo {
  std::uint32_t Signature = 0;  // 0xFEEF04BD
  std::uint32_t StrucVersion = 0;
  std::uint32_t FileVersionMS = 0;
  std::uint32_t FileVersionLS = 0;
  std::uint32_t ProductVersionMS = 0;
  std::uint32_t ProductVersionLS = 0;
  std::uint32_t FileFlagsMask = 0;
  std::uint32_t FileFlags = 0;
  std::uint32_t FileOS = 0;
  std::uint32_t FileType = 0;
  std::uint32_t FileSubtype = 0;
  std::uint32_t FileDateMS = 0;
  std::uint32_t FileDateLS = 0;

  friend bool operator==(const FixedFileInfo&, const FixedFileInfo&) = default;
};
static_assert(sizeof(FixedFileInfo) == 52);

// Reads the fixed block of the version resource of a Windows executable or
// library. kOk and info filled, or a failure code when the file cannot be
// read, has no version resource, or is malformed in any way.
HResult ReadFixedFileInfo(const std::filesystem::path& file, FixedFileInfo& info);

}  // namespace varo::platform

#pragma once

#include <array>
#include <cstdint>
#include <filesystem>

namespace varo {

// The failure of a downloaded file whose content is not what the list says:
// it is not installed, and the download ends with this code and text.
inline constexpr std::int32_t kFileCheckFailedCode = 10;
inline constexpr const char* kFileCheckFailedText = "文件校验失败";

// True when file is a regular file that can be read whole and its content's
// SHA-256 is expected; false for any other file, and for one that cannot
// be read.
bool MatchesSha256(const std::filesystem::path& file, const std::array<std::uint8_t, 32>& expected);

}  // namespace varo

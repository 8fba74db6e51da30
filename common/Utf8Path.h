#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace varo {

// Paths and UTF-8 text. Text inside the program is UTF-8; a path made from it
// or shown as it must never pass through a narrow code page (on Windows,
// std::filesystem::path(std::string) would use the ANSI one).
inline std::filesystem::path PathFromUtf8(std::string_view text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

inline std::string PathToUtf8(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace varo

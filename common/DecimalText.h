#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <string_view>

namespace varo {

// A number written as decimal digits only (no sign, no blanks), that fits
// in 64 bits; nothing for any other text, the empty one included.
inline std::optional<std::uint64_t> ParseUnsignedDecimal(std::string_view text) {
  std::uint64_t value = 0;
  const char* const end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || stop != end) {
    return std::nullopt;
  }
  return value;
}

}  // namespace varo

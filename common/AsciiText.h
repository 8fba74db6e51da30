#pragma once

#include <algorithm>
#include <string_view>

namespace varo {

// A letter A-Z in lower case; every other byte as it is.
inline char ToLowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Equal texts when ASCII letters are compared without regard to case
// (bytes beyond ASCII compare as they are).
inline bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](char x, char y) { return ToLowerAscii(x) == ToLowerAscii(y); });
}

}  // namespace varo

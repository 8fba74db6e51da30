#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace varo::platform {

// Reads one value of a Windows profile (INI) file, by the rules of
// GetPrivateProfileString: section and key names compare without regard to
// ASCII case, blanks around names and values are trimmed, a value longer
// than capacity - 1 characters is cut, and a missing file, section or key
// gives fallback. A key present with an empty value gives the empty text.
// Text is UTF-8; the cut never splits a character of valid UTF-8. Whatever
// the text, the value (or fallback) is also cut to at most
// 3 * (capacity - 1) bytes, so that bytes that form no character cannot
// make it longer. A file that is no regular file (a folder, a FIFO, a
// device) or is larger than 1 MiB counts as missing; reading it never
// blocks.
std::string ReadProfileString(const std::filesystem::path& file, std::string_view section,
                              std::string_view key, std::string_view fallback,
                              std::size_t capacity);

}  // namespace varo::platform

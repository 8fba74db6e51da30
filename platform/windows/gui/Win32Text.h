#pragma once

#include <string>
#include <string_view>

// Conversions between the program's UTF-8 text and the UTF-16 text of the
// wide Win32 calls.
namespace varo::platform::win32gui {

// Invalid UTF-8 sequences become U+FFFD.
std::wstring Wide(std::string_view utf8);
std::string Narrow(std::wstring_view utf16);

}  // namespace varo::platform::win32gui

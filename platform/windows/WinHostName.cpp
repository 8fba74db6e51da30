#include "platform/windows/WinHostName.h"

#include <windows.h>

#include <algorithm>
#include <climits>

namespace varo::platform {

std::optional<std::wstring> AsciiHostName(std::wstring_view host) {
  if (std::all_of(host.begin(), host.end(), [](wchar_t c) { return c < 0x80; })) {
    return std::wstring(host);
  }
  if (host.size() > static_cast<std::size_t>(INT_MAX)) {
    return std::nullopt;
  }
  const int size = static_cast<int>(host.size());
  const int length = ::IdnToAscii(0, host.data(), size, nullptr, 0);
  if (length <= 0) {
    return std::nullopt;
  }
  std::wstring ascii(static_cast<std::size_t>(length), L'\0');
  if (::IdnToAscii(0, host.data(), size, ascii.data(), length) != length) {
    return std::nullopt;
  }
  return ascii;
}

}  // namespace varo::platform

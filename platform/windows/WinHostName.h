#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace varo::platform {

// The form of a host name that name resolution and the Host header take:
// every label with letters beyond ASCII mapped (case, width, compatible
// forms; IDNA 2003, as the system's IdnToAscii does) and written in
// Punycode with the "xn--" prefix. A name in ASCII stays as it is. Nothing
// when the name holds a character a host name may not (an unassigned or
// prohibited code point, a label too long).
std::optional<std::wstring> AsciiHostName(std::wstring_view host);

}  // namespace varo::platform

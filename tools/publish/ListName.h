#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace varo::publish {

// Why the updater would not take a file or folder of this name (one name, no
// separators), in words for the publisher; nothing when it would. Refused:
// names that are not UTF-8 or hold a character XML cannot carry, names with
// characters Windows forbids (control characters, < > : " / \ | ? *), device
// names (CON, NUL.txt, COM1, ...), names that end in a dot or a blank (Windows
// drops those, so the file would land under another name), and "." and "..".
std::optional<std::string> WhyNameIsRefused(std::string_view name);

// A key under which names that Windows takes for the same file, as they
// differ only in the case of letters (of any script, not only ASCII), are
// equal: each character of the UTF-8 text in upper case, by the Unicode
// simple mappings. Bytes that are no UTF-8 are kept as they are. Where the
// system offers no such mappings, only ASCII letters are folded.
std::string CaseKey(std::string_view text);

// The name as text that can be shown anywhere: bytes that are no UTF-8 and
// control characters are written as \xNN.
std::string Printable(std::string_view name);

}  // namespace varo::publish

#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace varo::publish {

// Every byte of text but the unreserved characters (A-Z a-z 0-9 - . _ ~)
// written as %XX with upper-case digits; UTF-8 text thus becomes the
// percent-encoding of its bytes.
std::string PercentEncode(std::string_view text);

// True when base can start the URLs of a list: http:// or https://, a host,
// only printable ASCII without blanks, and no query or fragment.
bool IsUsableBaseUrl(std::string_view base);

// base, a slash unless base ends in one, then the percent-encoded names
// joined by slashes.
std::string JoinUrl(std::string_view base, const std::vector<std::string>& names);

}  // namespace varo::publish

#include "tools/publish/UrlPath.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace varo::publish {
namespace {

bool IsUnreserved(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) {
    return false;
  }
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
    if (c != prefix[i]) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::string PercentEncode(std::string_view text) {
  static constexpr std::string_view kDigits = "0123456789ABCDEF";
  std::string encoded;
  for (const char c : text) {
    if (IsUnreserved(c)) {
      encoded += c;
    } else {
      const auto byte = static_cast<unsigned char>(c);
      encoded += '%';
      encoded += kDigits[byte >> 4];
      encoded += kDigits[byte & 0x0F];
    }
  }
  return encoded;
}

bool IsUsableBaseUrl(std::string_view base) {
  std::size_t hostStart = 0;
  if (StartsWithIgnoringCase(base, "http://")) {
    hostStart = 7;
  } else if (StartsWithIgnoringCase(base, "https://")) {
    hostStart = 8;
  } else {
    return false;
  }
  if (hostStart >= base.size() || base[hostStart] == '/') {
    return false;
  }
  for (const char c : base) {
    if (c <= ' ' || c > '~' || c == '?' || c == '#') {
      return false;
    }
  }
  return true;
}

std::string JoinUrl(std::string_view base, const std::vector<std::string>& names) {
  std::string url(base);
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0 || url.empty() || url.back() != '/') {
      url += '/';
    }
    url += PercentEncode(names[i]);
  }
  return url;
}

}  // namespace varo::publish

#include "tools/publish/ListName.h"

#include <clocale>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cwctype>
#include <optional>
#include <string>
#include <string_view>

#include "catalogue/DeviceName.h"

namespace varo::publish {
namespace {

// The length of the UTF-8 sequence at the front of text and its code point;
// 0 when the front is no well-formed sequence (overlong forms, surrogates and
// values beyond U+10FFFF included).
std::size_t DecodeUtf8(std::string_view text, char32_t& point) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  const std::uint8_t lead = byte(0);
  std::size_t length = 0;
  char32_t minimum = 0;
  if (lead < 0x80) {
    point = lead;
    return 1;
  }
  if ((lead & 0xE0) == 0xC0) {
    length = 2;
    minimum = 0x80;
    point = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    minimum = 0x800;
    point = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    minimum = 0x10000;
    point = lead & 0x07;
  } else {
    return 0;
  }
  if (text.size() < length) {
    return 0;
  }
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) {
      return 0;
    }
    point = (point << 6) | (byte(i) & 0x3F);
  }
  if (point < minimum || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
    return 0;
  }
  return length;
}

// Appends the UTF-8 form of a code point that DecodeUtf8 accepts.
void AppendUtf8(std::string& text, char32_t point) {
  if (point < 0x80) {
    text += static_cast<char>(point);
  } else if (point < 0x800) {
    text += static_cast<char>(0xC0 | (point >> 6));
    text += static_cast<char>(0x80 | (point & 0x3F));
  } else if (point < 0x10000) {
    text += static_cast<char>(0xE0 | (point >> 12));
    text += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    text += static_cast<char>(0x80 | (point & 0x3F));
  } else {
    text += static_cast<char>(0xF0 | (point >> 18));
    text += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
    text += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    text += static_cast<char>(0x80 | (point & 0x3F));
  }
}

// The C library's case mappings of all of Unicode, whatever locale the
// program runs in; nothing where the system has no such locale.
locale_t UnicodeCaseLocale() {
  static const locale_t locale = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
  return locale;
}

char32_t ToUpper(char32_t point) {
  if (point < 0x80) {
    return point >= 'a' && point <= 'z' ? point - 'a' + 'A' : point;
  }
  const locale_t locale = UnicodeCaseLocale();
  if (locale == locale_t{}) {
    return point;
  }
  const auto upper = static_cast<char32_t>(::towupper_l(static_cast<wint_t>(point), locale));
  // Only a mapping to another well-formed character is taken.
  return upper <= 0x10FFFF && (upper < 0xD800 || upper > 0xDFFF) ? upper : point;
}

}  // namespace

std::string CaseKey(std::string_view text) {
  std::string key;
  key.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    char32_t point = 0;
    const std::size_t length = DecodeUtf8(text.substr(at), point);
    if (length == 0) {
      key += text[at];
      at += 1;
    } else {
      AppendUtf8(key, ToUpper(point));
      at += length;
    }
  }
  return key;
}

std::optional<std::string> WhyNameIsRefused(std::string_view name) {
  if (name.empty() || name == "." || name == "..") {
    return "is no file name";
  }
  for (std::size_t at = 0; at < name.size();) {
    char32_t point = 0;
    const std::size_t length = DecodeUtf8(name.substr(at), point);
    if (length == 0) {
      return "is not valid UTF-8";
    }
    if (point == 0xFFFE || point == 0xFFFF) {
      return "holds a character that XML cannot carry";
    }
    at += length;
  }
  for (const char c : name) {
    if (static_cast<unsigned char>(c) < 0x20) {
      return "holds a control character";
    }
    if (c == ':') {
      return "holds a colon";
    }
    if (std::string_view("<>\"/\\|?*").find(c) != std::string_view::npos) {
      return std::string("holds the character ") + c + ", which Windows forbids in names";
    }
  }
  if (IsDeviceName(name)) {
    return "is a device name on Windows";
  }
  if (name.back() == '.' || name.back() == ' ') {
    return "ends in a dot or a blank, which Windows drops";
  }
  return std::nullopt;
}

std::string Printable(std::string_view name) {
  std::string text;
  for (std::size_t at = 0; at < name.size();) {
    char32_t point = 0;
    const std::size_t length = DecodeUtf8(name.substr(at), point);
    if (length == 0 || point < 0x20 || point == 0x7F) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(name[at]));
      text += escaped;
      at += 1;
    } else {
      text.append(name.substr(at, length));
      at += length;
    }
  }
  return text;
}

}  // namespace varo::publish

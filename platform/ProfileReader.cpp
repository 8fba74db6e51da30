// The profile reader is the same on every platform: the file is read through
// the platform's ReadRegularFile and parsed here.

#include <algorithm>
#include <cstddef>
#include <string>

#include "platform/Profile.h"
#include "platform/RegularFile.h"

namespace varo::platform {
namespace {

// A larger file is no profile of ours; it counts as missing.
constexpr std::size_t kMaxProfileBytes = 1u << 20;

// The most bytes of UTF-8 that one character of a value may take, as a
// UTF-16 code unit is at most three bytes of UTF-8.
constexpr std::size_t kMaxBytesPerCharacter = 3;

std::string_view Trim(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && blank(text.front())) {
    text.remove_prefix(1);
  }
  while (!text.empty() && blank(text.back())) {
    text.remove_suffix(1);
  }
  return text;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](char x, char y) { return lower(x) == lower(y); });
}

bool IsContinuation(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// The first count characters of a UTF-8 text, never splitting one.
std::string_view CutCharacters(std::string_view text, std::size_t count) {
  std::size_t index = 0;
  for (std::size_t seen = 0; index < text.size(); ++index) {
    if (!IsContinuation(text[index]) && seen++ == count) {
      break;
    }
  }
  return text.substr(0, index);
}

// At most count bytes of a UTF-8 text. The cut falls before the first byte
// of a character when one starts within the last three bytes allowed, which
// is always so for valid UTF-8; invalid text is cut at count bytes.
std::string_view CutBytes(std::string_view text, std::size_t count) {
  if (text.size() <= count) {
    return text;
  }
  const std::size_t lowest = count > 3 ? count - 3 : 1;
  for (std::size_t cut = count; cut >= lowest; --cut) {
    if (!IsContinuation(text[cut])) {
      return text.substr(0, cut);
    }
  }
  return text.substr(0, count);
}

// A value as capacity lets it out: capacity - 1 characters, and no more
// bytes than that many characters may take, even where continuation bytes
// stand alone and so count as no character.
std::string Capped(std::string_view value, std::size_t capacity) {
  const std::size_t characters = capacity == 0 ? 0 : capacity - 1;
  return std::string(
      CutBytes(CutCharacters(value, characters), characters * kMaxBytesPerCharacter));
}

// The next line of text from at on, without its line feed; at moves past it.
std::string_view NextLine(std::string_view text, std::size_t& at) {
  const std::size_t end = std::min(text.find('\n', at), text.size());
  const std::string_view line = text.substr(at, end - at);
  at = end + 1;
  return line;
}

}  // namespace

std::string ReadProfileString(const std::filesystem::path& file, std::string_view section,
                              std::string_view key, std::string_view fallback,
                              std::size_t capacity) {
  const auto content = ReadRegularFile(file, kMaxProfileBytes);
  if (!content) {
    return Capped(fallback, capacity);
  }
  const std::string_view text = *content;
  bool inSection = false;
  bool first = true;
  for (std::size_t at = 0; at < text.size();) {
    std::string_view view = NextLine(text, at);
    if (first && view.starts_with("\xEF\xBB\xBF")) {
      view.remove_prefix(3);
    }
    first = false;
    view = Trim(view);
    if (view.empty() || view.front() == ';') {
      continue;
    }
    if (view.front() == '[') {
      const std::size_t close = view.find(']');
      const std::string_view name =
          view.substr(1, close == std::string_view::npos ? view.npos : close - 1);
      if (inSection) {
        break;  // the first section of that name holds the value
      }
      inSection = EqualNoCase(Trim(name), section);
      continue;
    }
    const std::size_t equals = view.find('=');
    if (!inSection || equals == std::string_view::npos ||
        !EqualNoCase(Trim(view.substr(0, equals)), key)) {
      continue;
    }
    std::string_view value = Trim(view.substr(equals + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    return Capped(value, capacity);
  }
  return Capped(fallback, capacity);
}

}  // namespace varo::platform

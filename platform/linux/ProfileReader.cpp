#include <algorithm>
#include <fstream>
#include <string>

#include "platform/Profile.h"

namespace varo::platform {
namespace {

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

// The first count characters of a UTF-8 text, never splitting one.
std::string_view CutCharacters(std::string_view text, std::size_t count) {
  std::size_t index = 0;
  for (std::size_t seen = 0; index < text.size(); ++index) {
    const bool continuation = (static_cast<unsigned char>(text[index]) & 0xC0) == 0x80;
    if (!continuation && seen++ == count) {
      break;
    }
  }
  return text.substr(0, index);
}

}  // namespace

std::string ReadProfileString(const std::filesystem::path& file, std::string_view section,
                              std::string_view key, std::string_view fallback,
                              std::size_t capacity) {
  const std::size_t limit = capacity == 0 ? 0 : capacity - 1;
  std::ifstream input(file, std::ios::binary);
  std::string line;
  bool inSection = false;
  bool first = true;
  while (input && std::getline(input, line)) {
    std::string_view view = line;
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
    return std::string(CutCharacters(value, limit));
  }
  return std::string(CutCharacters(fallback, limit));
}

}  // namespace varo::platform

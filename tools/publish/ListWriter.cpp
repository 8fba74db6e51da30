#include "tools/publish/ListWriter.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varo::publish {
namespace {

void Element(std::string& out, std::string_view name, const std::string& text) {
  out += "    <";
  out += name;
  out += '>';
  out += EscapeXml(text);
  out += "</";
  out += name;
  out += ">\n";
}

// A half of a file time, written as the signed 32-bit number with its bits.
std::string TimeHalf(std::uint32_t half) {
  return std::to_string(static_cast<std::int32_t>(half));
}

}  // namespace

std::string EscapeXml(const std::string& text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      case '\'':
        escaped += "&apos;";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

std::string WriteUpdateList(const std::vector<ListEntry>& entries,
                            std::optional<std::uint64_t> sequence) {
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<UpdateList";
  if (sequence) {
    out += " Sequence=\"" + std::to_string(*sequence) + "\"";
  }
  out += ">\n";
  for (const ListEntry& entry : entries) {
    out += "  <File>\n";
    Element(out, "FileName", entry.FileName);
    if (!entry.LocalPath.empty()) {
      Element(out, "LocalPath", entry.LocalPath);
    }
    Element(out, "URL", entry.Url);
    Element(out, "Length", std::to_string(entry.Length));
    Element(out, "Sha256", entry.Sha256);
    if (!entry.FileVersion.empty()) {
      Element(out, "FileVersion", entry.FileVersion);
      Element(out, "ProductVersion", entry.ProductVersion);
    }
    if (entry.Time) {
      Element(out, "FileDateLow", TimeHalf(entry.Time->Low));
      Element(out, "FileDateHigh", TimeHalf(entry.Time->High));
    }
    out += "  </File>\n";
  }
  out += "</UpdateList>\n";
  return out;
}

}  // namespace varo::publish

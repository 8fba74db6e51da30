#pragma once

#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/XmlReader.h"

namespace varo::test {

// The entries that platform::ReadXmlEntries gives, as plain pairs of child
// name and text that compare and print.
using XmlChildPair = std::pair<std::string, std::string>;
using XmlEntryPairs = std::vector<std::vector<XmlChildPair>>;

inline std::optional<XmlEntryPairs> Flatten(
    const std::optional<std::vector<platform::XmlEntry>>& read) {
  if (!read) {
    return std::nullopt;
  }
  XmlEntryPairs entries;
  for (const platform::XmlEntry& entry : *read) {
    auto& children = entries.emplace_back();
    for (const platform::XmlChild& child : entry) {
      children.emplace_back(child.Name, child.Text);
    }
  }
  return entries;
}

// One line per entry, for the message of a failed comparison.
inline std::string Dump(const std::optional<XmlEntryPairs>& entries) {
  if (!entries) {
    return "nothing";
  }
  std::ostringstream out;
  for (const auto& entry : *entries) {
    out << "{";
    for (const auto& [name, text] : entry) {
      out << " " << name << "=[" << text << "]";
    }
    out << " }\n";
  }
  return out.str();
}

}  // namespace varo::test

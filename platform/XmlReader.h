#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varo::platform {

// One direct child node of an entry element: its node name (an element's tag
// name, "#text" or "#comment" for other nodes) and its text content with the
// surrounding white space removed.
struct XmlChild {
  std::string Name;
  std::string Text;
};

// The direct child nodes of one entry element, in document order.
using XmlEntry = std::vector<XmlChild>;

// One attribute of an element: its qualified name and its value, as the
// document gives them once character and entity references are replaced and
// white space is normalised as XML asks.
struct XmlAttribute {
  std::string Name;
  std::string Value;
};

// What is read of a document: the root element's attributes, in document
// order and without namespace declarations (xmlns, xmlns:*), and the entries.
struct XmlDocument {
  std::vector<XmlAttribute> RootAttributes;
  std::vector<XmlEntry> Entries;
};

// Loads the XML document at file and returns the root element's attributes
// and, in document order, every element named entryTag (exact case) below
// the root element; the root itself never counts. Text is UTF-8 whatever the document's declared
// encoding. Nothing when the file is no regular file (reading never blocks on a FIFO or a device),
// is larger than maxBytes, cannot be read or is not well-formed, and also when it has a document
// type declaration of any kind
// (<!DOCTYPE ...>, with or without an internal subset): no DTD is accepted,
// so no entity can be declared, expanded or loaded from elsewhere. Such a
// document fails like any other malformed one.
std::optional<XmlDocument> ReadXmlDocument(const std::filesystem::path& file,
                                           std::string_view entryTag, std::size_t maxBytes);

// The entries of ReadXmlDocument alone.
std::optional<std::vector<XmlEntry>> ReadXmlEntries(const std::filesystem::path& file,
                                                    std::string_view entryTag,
                                                    std::size_t maxBytes);

}  // namespace varo::platform

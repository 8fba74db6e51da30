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

// What is read of a document: the value of one attribute of the root
// element, when the root has it, and the entries.
struct XmlDocument {
  std::optional<std::string> RootAttribute;
  std::vector<XmlEntry> Entries;
};

// Loads the XML document at file and returns the value of the root
// element's attribute named rootAttribute (its qualified name, exact case;
// the value as XML gives it, references replaced and white space
// normalised; an empty name asks for none) and, in document order, every
// element named entryTag (exact case) below the root element; the root
// itself never counts. Text is UTF-8 whatever the document's declared
// encoding. Nothing when the file is no regular file (reading never blocks
// on a FIFO or a device), is larger than maxBytes, cannot be read or is not
// well-formed, and also when it has a document type declaration of any kind
// (<!DOCTYPE ...>, with or without an internal subset): no DTD is accepted,
// so no entity can be declared, expanded or loaded from elsewhere. Such a
// document fails like any other malformed one.
std::optional<XmlDocument> ReadXmlDocument(const std::filesystem::path& file,
                                           std::string_view entryTag,
                                           std::string_view rootAttribute, std::size_t maxBytes);

// The entries of ReadXmlDocument alone.
std::optional<std::vector<XmlEntry>> ReadXmlEntries(const std::filesystem::path& file,
                                                    std::string_view entryTag,
                                                    std::size_t maxBytes);

}  // namespace varo::platform

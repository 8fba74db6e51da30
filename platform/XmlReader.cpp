#include "platform/XmlReader.h"

#include <utility>

namespace varo::platform {

std::optional<std::vector<XmlEntry>> ReadXmlEntries(const std::filesystem::path& file,
                                                    std::string_view entryTag,
                                                    std::size_t maxBytes) {
  std::optional<XmlDocument> document = ReadXmlDocument(file, entryTag, {}, maxBytes);
  if (!document) {
    return std::nullopt;
  }
  return std::move(document->Entries);
}

}  // namespace varo::platform

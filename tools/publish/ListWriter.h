#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/FileSystem.h"

namespace varo::publish {

// One "File" element of an update list; the texts are UTF-8.
struct ListEntry {
  std::string FileName;
  std::string LocalPath;  // folders joined with '\', empty at the top
  std::string Url;
  std::uint64_t Length = 0;
  std::string Sha256;  // 64 lower-case hex digits
  // The version resource's texts, or, for a file without one, its time.
  std::string FileVersion;
  std::string ProductVersion;
  std::optional<platform::FileTime> Time;
};

// The update list of entries, in their order, as the bytes of a UTF-8 XML
// document: the XML declaration, then an "UpdateList" root element (with a
// Sequence attribute when sequence is given) holding one "File" element per
// entry. Times are written as two signed 32-bit numbers, as the reader takes
// them; an empty LocalPath is left out.
std::string WriteUpdateList(const std::vector<ListEntry>& entries,
                            std::optional<std::uint64_t> sequence);

// text with &, <, >, " and ' written as character references.
std::string EscapeXml(const std::string& text);

}  // namespace varo::publish

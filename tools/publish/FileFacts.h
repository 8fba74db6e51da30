#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "tools/publish/ListWriter.h"
#include "tools/publish/ReleaseScan.h"

namespace varo::publish {

// The list entry of a release file: its names, its URL below baseUrl, and
// what is read from the file (its length and SHA-256; the version texts of
// its version resource, formatted as the updater formats those of the
// installed file; or its last-write time when it has none). Nothing, and
// error set, when the file cannot be read.
std::optional<ListEntry> DescribeFile(const ReleaseFile& file, const std::string& baseUrl,
                                      std::string& error);

}  // namespace varo::publish

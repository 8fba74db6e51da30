#pragma once

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace varo::publish {

// A file of a release folder that can go into the update list.
struct ReleaseFile {
  std::vector<std::string> Names;  // its folders below the release folder, then its name (UTF-8)
  std::filesystem::path Path;      // where it is on this disk

  // The names joined with '/'.
  std::string RelativePath() const;
};

// What of a release folder can go into the list, and what cannot.
struct ReleaseScan {
  // Sorted by RelativePath, byte by byte.
  std::vector<ReleaseFile> Files;
  // Files and folders left out, each with the reason, as printable text:
  // "Data/aux.txt: is a device name on Windows". Sorted.
  std::vector<std::string> LeftOut;
};

// Walks the release folder root and everything below it. Left out (and said
// why in LeftOut): names the updater would refuse (WhyNameIsRefused), and a
// refused folder with everything in it; a file whose name, or a folder
// right in root whose name, begins with a blank (the updater's reader trims
// those texts); symbolic links (never followed); what is no regular file or
// folder; and files whose paths differ only in the case of letters, of any
// script (CaseKey), from another file's or folder's, as Windows would take
// them for one. Paths in ignored ('/'-joined, relative to root) are
// passed over in silence. Nothing, and error set, when root or a folder below
// it cannot be read.
std::optional<ReleaseScan> ScanRelease(const std::filesystem::path& root,
                                       const std::set<std::string>& ignored, std::string& error);

}  // namespace varo::publish

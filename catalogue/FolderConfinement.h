#pragma once

#include <filesystem>
#include <unordered_map>

namespace varo {

// Tells, for many files below one base directory, whether each stays inside
// the base once every link on its path is followed (platform::ResolvesWithin),
// resolving and listing each folder only once: a file that is no link itself
// lies where its folder leads, and in a folder without any link no file is
// one. A file in a folder that leads out of the base is outside,
// even when the file is a link that leads back in: what is put in its place
// would land in that folder.
//
// The answers for folders are kept for the life of the object, which should
// not outlive one pass over a list. Used on one thread at a time.
class FolderConfinement {
 public:
  explicit FolderConfinement(std::filesystem::path base);

  bool Contains(const std::filesystem::path& file);

 private:
  std::filesystem::path Base;
  struct Folder {
    bool Inside = false;       // resolves inside Base
    bool MayHoldLinks = true;  // its files must be looked at one by one
  };
  // Each folder met so far, by its path.
  std::unordered_map<std::filesystem::path::string_type, Folder> Folders;
};

}  // namespace varo

#pragma once

#include <filesystem>
#include <set>

namespace varo {

// The folders that hold files installed in this run whose new names have
// not yet been made durable. Each installed file's content reaches the disk
// before it is renamed into place, so a power cut leaves the old file or
// the new one, whole, either way; flushing its folder only decides which.
// That flush is made once per folder when the run ends (Sync), instead of
// once per file. The window's thread only.
class InstalledFolders {
 public:
  InstalledFolders() = default;
  ~InstalledFolders() { Sync(); }
  InstalledFolders(const InstalledFolders&) = delete;
  InstalledFolders& operator=(const InstalledFolders&) = delete;

  // Notes the folder of target, a file just installed.
  void Add(const std::filesystem::path& target);

  // Makes every noted folder's names durable, and forgets them.
  void Sync();

  bool Empty() const { return Folders.empty(); }

 private:
  std::set<std::filesystem::path> Folders;
};

}  // namespace varo

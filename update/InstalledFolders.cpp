#include "update/InstalledFolders.h"

#include "platform/FileSystem.h"

namespace varo {

void InstalledFolders::Add(const std::filesystem::path& target) {
  Folders.insert(target.has_parent_path() ? target.parent_path() : std::filesystem::path("."));
}

void InstalledFolders::Sync() {
  for (const std::filesystem::path& folder : Folders) {
    platform::SyncFolder(folder);
  }
  Folders.clear();
}

}  // namespace varo

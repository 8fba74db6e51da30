#include "catalogue/FolderConfinement.h"

#include <utility>

#include "platform/FileSystem.h"

namespace varo {

FolderConfinement::FolderConfinement(std::filesystem::path base) : Base(std::move(base)) {}

bool FolderConfinement::Contains(const std::filesystem::path& file) {
  const std::filesystem::path folder = file.parent_path();
  auto known = Folders.find(folder.native());
  if (known == Folders.end()) {
    known = Folders.emplace(folder.native(), platform::ResolvesWithin(Base, folder)).first;
  }
  if (!known->second) {
    return false;
  }
  return !platform::IsLink(file) || platform::ResolvesWithin(Base, file);
}

}  // namespace varo

#include "catalogue/FolderConfinement.h"

#include <utility>

#include "platform/FileSystem.h"

namespace varo {

FolderConfinement::FolderConfinement(std::filesystem::path base) : Base(std::move(base)) {}

bool FolderConfinement::Contains(const std::filesystem::path& file) {
  const std::filesystem::path folder = file.parent_path();
  auto known = Folders.find(folder.native());
  if (known == Folders.end()) {
    Folder answer;
    answer.Inside = platform::ResolvesWithin(Base, folder);
    answer.MayHoldLinks = answer.Inside && platform::MayHoldLinks(folder);
    known = Folders.emplace(folder.native(), answer).first;
  }
  if (!known->second.Inside) {
    return false;
  }
  return !known->second.MayHoldLinks || !platform::IsLink(file) ||
         platform::ResolvesWithin(Base, file);
}

}  // namespace varo

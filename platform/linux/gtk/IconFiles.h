#pragma once

#include <filesystem>
#include <map>

#include "platform/Shell.h"

namespace varo::platform {

// The icons that the shell has loaded, each kept as a PNG file in a private
// folder: a notification-area host reads icons by name from a folder, and
// cannot read the .ico files of the skin. The folder goes with the object.
class IconFiles {
 public:
  IconFiles() = default;
  ~IconFiles();
  IconFiles(const IconFiles&) = delete;
  IconFiles& operator=(const IconFiles&) = delete;

  // Any image file GdkPixbuf reads (.ico among them); 0 when it cannot.
  IconHandle Load(const std::filesystem::path& file);
  void Destroy(IconHandle icon);

  // The PNG file of a loaded icon; empty for 0 and unknown handles.
  const std::filesystem::path& PngOf(IconHandle icon) const;

 private:
  std::filesystem::path Folder;
  IconHandle Next = 1;
  std::map<IconHandle, std::filesystem::path> Files;
};

}  // namespace varo::platform

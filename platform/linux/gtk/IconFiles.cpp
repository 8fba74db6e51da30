#include "platform/linux/gtk/IconFiles.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <cassert>
#include <string>
#include <system_error>

namespace varo::platform {

IconFiles::~IconFiles() {
  if (!Folder.empty()) {
    std::error_code error;
    std::filesystem::remove_all(Folder, error);
  }
}

IconHandle IconFiles::Load(const std::filesystem::path& file) {
  GdkPixbuf* image = gdk_pixbuf_new_from_file(file.c_str(), nullptr);
  if (image == nullptr) {
    return 0;
  }
  if (Folder.empty()) {
    if (gchar* folder = g_dir_make_tmp("varo-update-icons-XXXXXX", nullptr); folder != nullptr) {
      Folder = folder;
      g_free(folder);
    }
  }
  const IconHandle icon = Next++;
  // The name changes with every load, so that a host that caches icons by
  // name never shows an old picture.
  const std::filesystem::path png = Folder / ("varo-update-" + std::to_string(icon) + ".png");
  // Read once by the tray's host from a temporary folder: the fastest
  // compression does, and costs a fraction of the default's time.
  const bool saved = !Folder.empty() && gdk_pixbuf_save(image, png.c_str(), "png", nullptr,
                                                        "compression", "1", nullptr) != FALSE;
  g_object_unref(image);
  if (!saved) {
    return 0;
  }
  Files.emplace(icon, png);
  return icon;
}

void IconFiles::Destroy(IconHandle icon) {
  const auto it = Files.find(icon);
  assert(it != Files.end() && "destroying an icon that is not loaded");
  if (it == Files.end()) {
    return;
  }
  std::error_code error;
  std::filesystem::remove(it->second, error);
  Files.erase(it);
}

const std::filesystem::path& IconFiles::PngOf(IconHandle icon) const {
  static const std::filesystem::path kNone;
  const auto it = Files.find(icon);
  return it == Files.end() ? kNone : it->second;
}

}  // namespace varo::platform

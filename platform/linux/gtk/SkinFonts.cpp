#include "platform/linux/gtk/SkinFonts.h"

#include <fontconfig/fontconfig.h>
#include <pango/pangocairo.h>
#include <pango/pangofc-fontmap.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <string>
#include <system_error>

namespace varo::platform {
namespace {

bool IsFontFile(const std::filesystem::path& file) {
  std::string extension = file.extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return extension == ".otf" || extension == ".ttf" || extension == ".ttc";
}

// The files added so far, by their canonical paths. The window's thread.
std::set<std::filesystem::path>& Added() {
  static std::set<std::filesystem::path> added;
  return added;
}

}  // namespace

std::vector<std::filesystem::path> AddSkinFonts(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> files;
  std::error_code error;
  for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error)) {
    if (IsFontFile(it->path()) && it->is_regular_file(error)) {
      files.push_back(it->path());
    }
  }
  std::sort(files.begin(), files.end());

  std::vector<std::filesystem::path> unusable;
  bool changed = false;
  for (const std::filesystem::path& file : files) {
    const std::filesystem::path canonical = std::filesystem::weakly_canonical(file, error);
    if (error || Added().count(canonical) != 0) {
      continue;
    }
    const auto* name = reinterpret_cast<const FcChar8*>(canonical.c_str());
    if (FcConfigAppFontAddFile(nullptr, name) == FcFalse) {
      unusable.push_back(file);
      continue;
    }
    Added().insert(canonical);
    changed = true;
  }
  PangoFontMap* fonts = pango_cairo_font_map_get_default();
  if (changed && PANGO_IS_FC_FONT_MAP(fonts)) {
    // The font map keeps what it has matched; it matches again from now.
    pango_fc_font_map_config_changed(PANGO_FC_FONT_MAP(fonts));
  }
  return unusable;
}

}  // namespace varo::platform

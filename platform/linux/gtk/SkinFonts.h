#pragma once

#include <filesystem>
#include <vector>

namespace varo::platform {

// Makes the font files that lie in a skin's folder (.otf, .ttf and .ttc,
// in any case) available to the texts of this process, beside the
// desktop's fonts, so that a skin's Font can name a family it brings with
// it. Each file is added once however often its folder is; the texts laid
// out afterwards see the new families. Returns the files that are no
// usable font. The window's thread only, after gtk_init.
std::vector<std::filesystem::path> AddSkinFonts(const std::filesystem::path& folder);

}  // namespace varo::platform

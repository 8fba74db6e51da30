#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "platform/SkinFile.h"

namespace varo::platform {

// The GTK style sheet that draws a skin: the window's background and font,
// and each control's colours, font and images. The window carries the CSS
// name WindowCssName(), control number i (in the skin's order) the name
// ControlCssName(i), and a bar's text the name ControlCssName(i) + "-text".
// Images are files of folder; one that does not exist is left out, so that
// the colour behind it shows.
std::string MakeSkinStyleSheet(const Skin& skin, const std::filesystem::path& folder);

std::string WindowCssName();
std::string ControlCssName(std::size_t index);

// A colour as GTK's CSS reads it, whatever the locale: rgba(r,g,b,0.aaa).
std::string CssColor(SkinColor color);

// A quoted CSS string.
std::string CssString(std::string_view text);

}  // namespace varo::platform

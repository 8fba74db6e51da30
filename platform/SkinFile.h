#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Window.h"

// The skin of the updater's window as both desktop front-ends read it: the
// window's size, caption band, background and font, and its controls with
// their places, texts, colours and images. skin/README.md describes the file.
namespace varo::platform {

// A colour as 0xAARRGGBB.
using SkinColor = std::uint32_t;

enum class SkinAlign { Left, Center, Right };

struct SkinControl {
  std::string Name;
  // "ButtonUI", "OptionUI", "TextUI", "LabelUI", "ProgressUI", ...
  std::string Class;
  // Client coordinates: left, top, right, bottom (right and bottom excluded).
  Rect Pos;
  std::string Text;
  std::string ToolTip;
  std::optional<SkinColor> TextColor;  // the window's when absent
  std::optional<SkinColor> BackColor;  // transparent when absent
  std::optional<SkinColor> ForeColor;  // a bar's fill without ForeImage
  int FontSize = 0;                    // pixels; the window's when 0
  bool Bold = false;
  int Radius = 0;  // rounded corners, in pixels
  SkinAlign Align = SkinAlign::Left;
  // Image files of the skin's folder; empty for none. BackImage is a bar's
  // trough or any control's background, ForeImage a bar's fill.
  std::string BackImage;
  std::string ForeImage;
  std::string NormalImage;
  std::string HotImage;
  std::string PushedImage;
  // A bar's range.
  int Min = 0;
  int Max = 100;
};

struct Skin {
  int Width = 0;
  int Height = 0;
  // The band that drags the window, as insets: left, top, right, bottom
  // (top and bottom are client coordinates, left and right are distances
  // from the client's left and right edges).
  Rect Caption;
  std::string Background;  // image file of the skin's folder, or empty
  SkinColor BackColor = 0xFF000000;
  std::string Icon;  // the window's icon, a file of the skin's folder
  std::string Font;
  int FontSize = 12;  // pixels
  SkinColor TextColor = 0xFFFFFFFF;
  // Listed bottom to top: a later control lies over an earlier one.
  std::vector<SkinControl> Controls;

  const SkinControl* Find(std::string_view name) const;
};

// The controls that the updater's window needs, with the class each must
// have (empty: any class that shows a text).
struct RequiredControl {
  std::string_view Name;
  std::string_view Class;
};
const std::vector<RequiredControl>& RequiredSkinControls();

// Reads a skin file. Nothing when it cannot be read (also when it is no
// regular file, is larger than 4 MiB or has a document type declaration),
// is not a skin, or lacks a required control; problems then says why, one
// line each. A skin that is
// read may still add lines to problems for parts it ignored.
std::optional<Skin> ReadSkinFile(const std::filesystem::path& file,
                                 std::vector<std::string>& problems);

// The layout the window falls back to without a usable skin: every required
// control, plain colours, no image.
Skin BuiltInSkin();

// Parsers of the skin's values, exposed for the front-ends and tests.
std::optional<Rect> ParseSkinRect(std::string_view text);
std::optional<SkinColor> ParseSkinColor(std::string_view text);

}  // namespace varo::platform

#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/SkinFile.h"
#include "platform/windows/gui/Win32SkinControl.h"
// The system's headers come after the platform's: their macros share the
// names of the platform's message constants.
#include <windows.h>

struct IStream;

namespace Gdiplus {
class FontFamily;
class Graphics;
class Image;
}  // namespace Gdiplus

namespace varo::platform {

// Draws a skin and the state of its controls with GDI+: the background, the
// texts in the skin's font and colours, the bars with their troughs and
// fills, the buttons in their pointer states. Images are read from the
// skin's folder once and kept, each read whole into memory first, so that
// none of their files stays open. Needs GDI+ started.
class Win32SkinPainter final {
 public:
  Win32SkinPainter();
  ~Win32SkinPainter();
  Win32SkinPainter(const Win32SkinPainter&) = delete;
  Win32SkinPainter& operator=(const Win32SkinPainter&) = delete;

  // Forgets the images of the previous folder.
  void SetFolder(const std::filesystem::path& folder);

  // Paints the whole window into dc, each pixel of the skin as scale by
  // scale pixels of dc.
  void Paint(HDC dc, const Skin& skin,
             const std::vector<std::unique_ptr<Win32SkinControl>>& controls, float scale);

 private:
  // The image of that name, or null when it cannot be read (said once on
  // standard error).
  Gdiplus::Image* ImageOf(const std::string& name);
  // The skin's font family, or the first of the desktop's that is installed;
  // null when the desktop has no font at all.
  const Gdiplus::FontFamily* FamilyOf(const std::string& name);
  void PaintControl(Gdiplus::Graphics& graphics, const Skin& skin, const Win32SkinControl& control);

  std::filesystem::path Folder;
  // Deletes an image, then lets go of the memory it was read from.
  struct ImageDeleter {
    IStream* Source = nullptr;
    void operator()(Gdiplus::Image* image) const;
  };
  std::map<std::string, std::unique_ptr<Gdiplus::Image, ImageDeleter>> Images;
  // The family found for FamilyName, null when the desktop has none; no
  // name before the first text.
  std::optional<std::string> FamilyName;
  std::unique_ptr<Gdiplus::FontFamily> Family;
};

}  // namespace varo::platform

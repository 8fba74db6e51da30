#include "platform/windows/gui/Win32SkinPainter.h"

#include <objidl.h>
// objidl.h before gdiplus.h
#include <gdiplus.h>
#include <shlwapi.h>

#include <algorithm>
#include <iostream>
#include <optional>
#include <string>

#include "platform/RegularFile.h"
#include "platform/windows/gui/Win32Text.h"

namespace varo::platform {
namespace {

// The most an image file of the skin may hold.
constexpr std::size_t kMaxImageBytes = std::size_t{16} << 20;

Gdiplus::Color ColorOf(SkinColor color) {
  return Gdiplus::Color(static_cast<Gdiplus::ARGB>(color));
}

Gdiplus::RectF RectOf(const Rect& rect) {
  return Gdiplus::RectF(static_cast<Gdiplus::REAL>(rect.Left), static_cast<Gdiplus::REAL>(rect.Top),
                        static_cast<Gdiplus::REAL>(rect.Right - rect.Left),
                        static_cast<Gdiplus::REAL>(rect.Bottom - rect.Top));
}

// A rectangle with rounded corners; a plain one for radius 0.
void AddRounded(Gdiplus::GraphicsPath& path, const Gdiplus::RectF& rect, int radius) {
  const Gdiplus::REAL r =
      std::min({static_cast<Gdiplus::REAL>(radius), rect.Width / 2, rect.Height / 2});
  if (r <= 0) {
    path.AddRectangle(rect);
    return;
  }
  const Gdiplus::REAL d = 2 * r;
  path.AddArc(rect.X, rect.Y, d, d, 180, 90);
  path.AddArc(rect.X + rect.Width - d, rect.Y, d, d, 270, 90);
  path.AddArc(rect.X + rect.Width - d, rect.Y + rect.Height - d, d, d, 0, 90);
  path.AddArc(rect.X, rect.Y + rect.Height - d, d, d, 90, 90);
  path.CloseFigure();
}

Gdiplus::StringAlignment AlignmentOf(SkinAlign align) {
  switch (align) {
    case SkinAlign::Center:
      return Gdiplus::StringAlignmentCenter;
    case SkinAlign::Right:
      return Gdiplus::StringAlignmentFar;
    case SkinAlign::Left:
      break;
  }
  return Gdiplus::StringAlignmentNear;
}

// The family named, else the desktop's Chinese user-interface fonts, else
// the CJK font of Linux desktops, which Wine shows to its programs; then
// GDI+'s own sans-serif family, which a desktop without its usual fonts
// lacks, then any family the desktop has. Null when it has none.
std::unique_ptr<Gdiplus::FontFamily> FindFamily(const std::string& name) {
  const std::wstring candidates[] = {win32gui::Wide(name), L"Microsoft YaHei UI",
                                     L"Microsoft YaHei", L"SimSun", L"Noto Sans CJK SC"};
  for (const std::wstring& candidate : candidates) {
    if (candidate.empty()) {
      continue;
    }
    auto family = std::make_unique<Gdiplus::FontFamily>(candidate.c_str());
    if (family->GetLastStatus() == Gdiplus::Ok && family->IsAvailable()) {
      return family;
    }
  }
  if (const Gdiplus::FontFamily* generic = Gdiplus::FontFamily::GenericSansSerif();
      generic != nullptr && generic->IsAvailable()) {
    return std::unique_ptr<Gdiplus::FontFamily>(generic->Clone());
  }
  const Gdiplus::InstalledFontCollection installed;
  Gdiplus::FontFamily first;
  INT found = 0;
  if (installed.GetFamilyCount() > 0 && installed.GetFamilies(1, &first, &found) == Gdiplus::Ok &&
      found == 1 && first.IsAvailable()) {
    return std::unique_ptr<Gdiplus::FontFamily>(first.Clone());
  }
  return nullptr;
}

}  // namespace

Win32SkinPainter::Win32SkinPainter() = default;

Win32SkinPainter::~Win32SkinPainter() = default;

void Win32SkinPainter::SetFolder(const std::filesystem::path& folder) {
  Folder = folder;
  Images.clear();
}

void Win32SkinPainter::ImageDeleter::operator()(Gdiplus::Image* image) const {
  delete image;
  if (Source != nullptr) {
    Source->Release();
  }
}

Gdiplus::Image* Win32SkinPainter::ImageOf(const std::string& name) {
  if (name.empty()) {
    return nullptr;
  }
  auto it = Images.find(name);
  if (it == Images.end()) {
    const std::filesystem::path file = Folder / std::filesystem::path(win32gui::Wide(name));
    // GDI+ keeps the file of an image loaded from a file open, and shared
    // with no one who would replace it, until the image is gone; the skin
    // lies in the installation that an update may change while the window
    // shows it. So the file is read whole and the image made from memory,
    // which the image keeps.
    std::unique_ptr<Gdiplus::Image, ImageDeleter> image;
    const std::optional<std::string> bytes = ReadRegularFile(file, kMaxImageBytes);
    IStream* stream = bytes ? SHCreateMemStream(reinterpret_cast<const BYTE*>(bytes->data()),
                                                static_cast<UINT>(bytes->size()))
                            : nullptr;
    if (stream != nullptr) {
      image = {new Gdiplus::Image(stream), ImageDeleter{stream}};
    }
    if (!image || image->GetLastStatus() != Gdiplus::Ok || image->GetWidth() == 0) {
      std::cerr << "varo-update: skin image " << win32gui::Narrow(file.wstring())
                << " cannot be read\n";
      image.reset();
    }
    it = Images.emplace(name, std::move(image)).first;
  }
  return it->second.get();
}

const Gdiplus::FontFamily* Win32SkinPainter::FamilyOf(const std::string& name) {
  if (FamilyName != name) {
    FamilyName = name;
    Family = FindFamily(name);
  }
  return Family.get();
}

void Win32SkinPainter::Paint(HDC dc, const Skin& skin,
                             const std::vector<std::unique_ptr<Win32SkinControl>>& controls,
                             float scale) {
  Gdiplus::Graphics graphics(dc);
  graphics.ScaleTransform(scale, scale);
  graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
  graphics.SetTextRenderingHint(Gdiplus::TextRenderingHintAntiAliasGridFit);
  graphics.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
  graphics.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHalf);
  const Gdiplus::RectF whole = RectOf({0, 0, skin.Width, skin.Height});
  Gdiplus::SolidBrush back(ColorOf(skin.BackColor | 0xFF000000u));
  graphics.FillRectangle(&back, whole);
  if (Gdiplus::Image* image = ImageOf(skin.Background)) {
    graphics.DrawImage(image, whole);
  }
  for (const auto& control : controls) {
    PaintControl(graphics, skin, *control);
  }
}

void Win32SkinPainter::PaintControl(Gdiplus::Graphics& graphics, const Skin& skin,
                                    const Win32SkinControl& control) {
  const SkinControl& spec = control.GetSpec();
  const Gdiplus::RectF area = RectOf(spec.Pos);
  if (area.Width <= 0 || area.Height <= 0) {
    return;
  }
  Gdiplus::GraphicsPath outline;
  AddRounded(outline, area, spec.Radius);

  if (spec.BackColor) {
    Gdiplus::SolidBrush brush(ColorOf(*spec.BackColor));
    graphics.FillPath(&brush, &outline);
  }
  if (Gdiplus::Image* image = ImageOf(spec.BackImage)) {
    graphics.DrawImage(image, area);
  }

  if (control.IsBar()) {
    const auto filled = static_cast<Gdiplus::REAL>(area.Width * control.GetFraction());
    if (filled > 0) {
      Gdiplus::Region clip(&outline);
      clip.Intersect(Gdiplus::RectF(area.X, area.Y, filled, area.Height));
      Gdiplus::Region saved;
      graphics.GetClip(&saved);
      graphics.SetClip(&clip, Gdiplus::CombineModeIntersect);
      if (Gdiplus::Image* image = ImageOf(spec.ForeImage)) {
        graphics.DrawImage(image, area);
      } else {
        Gdiplus::SolidBrush brush(ColorOf(spec.ForeColor.value_or(0xFF2F8BEAu)));
        graphics.FillRectangle(&brush, area);
      }
      graphics.SetClip(&saved);
    }
  }

  if (control.IsButton()) {
    Gdiplus::Image* image = nullptr;
    switch (control.GetState()) {
      case Win32SkinControl::State::Pushed:
        image = ImageOf(spec.PushedImage);
        break;
      case Win32SkinControl::State::Hot:
        image = ImageOf(spec.HotImage);
        break;
      case Win32SkinControl::State::Normal:
        break;
    }
    const bool tint = image == nullptr && control.GetState() != Win32SkinControl::State::Normal;
    if (image == nullptr) {
      image = ImageOf(spec.NormalImage);
    }
    if (image != nullptr) {
      graphics.DrawImage(image, area);
    }
    if (tint) {
      const BYTE alpha = control.GetState() == Win32SkinControl::State::Pushed ? 0x50 : 0x30;
      Gdiplus::SolidBrush brush(Gdiplus::Color(alpha, 0xFF, 0xFF, 0xFF));
      graphics.FillPath(&brush, &outline);
    }
  }

  if (spec.Text.empty()) {
    return;
  }
  const Gdiplus::FontFamily* family = FamilyOf(skin.Font);
  if (family == nullptr) {
    return;
  }
  const int size = spec.FontSize > 0 ? spec.FontSize : skin.FontSize;
  Gdiplus::Font face(family, static_cast<Gdiplus::REAL>(size > 0 ? size : 12),
                     spec.Bold ? Gdiplus::FontStyleBold : Gdiplus::FontStyleRegular,
                     Gdiplus::UnitPixel);
  Gdiplus::StringFormat format;
  format.SetAlignment(AlignmentOf(spec.Align));
  format.SetLineAlignment(Gdiplus::StringAlignmentCenter);
  format.SetFormatFlags(Gdiplus::StringFormatFlagsNoWrap);
  format.SetTrimming(Gdiplus::StringTrimmingEllipsisCharacter);
  Gdiplus::SolidBrush ink(ColorOf(spec.TextColor.value_or(skin.TextColor)));
  const std::wstring text = win32gui::Wide(spec.Text);
  graphics.DrawString(text.c_str(), static_cast<INT>(text.size()), &face, area, &format, &ink);
}

}  // namespace varo::platform

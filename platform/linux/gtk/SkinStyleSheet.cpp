#include "platform/linux/gtk/SkinStyleSheet.h"

#include <glib.h>

#include <memory>
#include <system_error>

namespace varo::platform {
namespace {

// A url() of an image of the skin's folder, or nothing for an empty name
// and a file that is not there.
std::string ImageUrl(const std::filesystem::path& folder, const std::string& image) {
  if (image.empty()) {
    return {};
  }
  const std::filesystem::path file = folder / image;
  std::error_code error;
  if (!std::filesystem::is_regular_file(file, error)) {
    return {};
  }
  std::unique_ptr<gchar, decltype(&g_free)> uri(
      g_filename_to_uri(std::filesystem::absolute(file, error).c_str(), nullptr, nullptr), g_free);
  if (!uri) {
    return {};
  }
  return "url(" + CssString(uri.get()) + ")";
}

std::string Pixels(int value) {
  return std::to_string(value) + "px";
}

// The declarations every control starts from, so that the theme's own
// borders, shadows, paddings and minimum sizes do not show through.
constexpr const char* kReset =
    "  margin: 0; padding: 0; border: none; border-radius: 0; box-shadow: none;\n"
    "  outline-style: none; text-shadow: none; -gtk-icon-shadow: none;\n"
    "  min-width: 0; min-height: 0; background-repeat: no-repeat;\n";

std::string Font(const SkinControl& control, const Skin& skin) {
  std::string css;
  css += "  color: " + CssColor(control.TextColor.value_or(skin.TextColor)) + ";\n";
  if (control.FontSize > 0) {
    css += "  font-size: " + Pixels(control.FontSize) + ";\n";
  }
  css += std::string("  font-weight: ") + (control.Bold ? "bold" : "normal") + ";\n";
  return css;
}

std::string Radius(const SkinControl& control) {
  return control.Radius > 0 ? "  border-radius: " + Pixels(control.Radius) + ";\n" : std::string();
}

std::string Background(std::optional<SkinColor> color, const std::string& url,
                       const std::string& size = "100% 100%") {
  std::string css = "  background-color: " + (color ? CssColor(*color) : "transparent") + ";\n";
  css += "  background-image: " + (url.empty() ? "none" : url) + ";\n";
  css += "  background-size: " + size + ";\n";
  return css;
}

std::string ButtonRules(const std::string& selector, const SkinControl& control, const Skin& skin,
                        const std::filesystem::path& folder) {
  const std::string normal = ImageUrl(folder, control.NormalImage);
  const std::string hot = ImageUrl(folder, control.HotImage);
  const std::string pushed = ImageUrl(folder, control.PushedImage);
  std::string css = selector + " {\n" + kReset + Radius(control) +
                    Background(control.BackColor, normal) + Font(control, skin) +
                    "  transition: none;\n}\n";
  css += selector + " label {\n  color: inherit;\n}\n";
  // A state without an image of its own tints the normal look.
  const auto state = [&](const char* pseudo, const std::string& url, const char* tint) {
    std::string image = url;
    if (image.empty()) {
      image = std::string("linear-gradient(") + tint + ", " + tint + ")" +
              (normal.empty() ? "" : ", " + normal);
    }
    return selector + ":" + pseudo + " {\n  background-image: " + image + ";\n}\n";
  };
  css += state("hover", hot, "rgba(255,255,255,0.14)");
  css += state("active", pushed, "rgba(0,0,0,0.22)");
  return css;
}

std::string BarRules(const std::string& selector, const SkinControl& control, const Skin& skin,
                     const std::filesystem::path& folder) {
  const int width = control.Pos.Right - control.Pos.Left;
  const int height = control.Pos.Bottom - control.Pos.Top;
  std::string css = selector + " {\n" + kReset + "  background: none;\n}\n";
  css += selector + " trough {\n" + kReset + Radius(control) + "  min-height: " + Pixels(height) +
         ";\n" + Background(control.BackColor, ImageUrl(folder, control.BackImage)) + "}\n";
  // The fill image keeps the bar's full size and is uncovered from the left
  // as the value grows, rather than squeezed into the filled part.
  css += selector + " progress {\n" + kReset + Radius(control) + "  min-height: " + Pixels(height) +
         ";\n" +
         Background(control.ForeColor, ImageUrl(folder, control.ForeImage),
                    Pixels(width) + " " + Pixels(height)) +
         "  background-position: left center;\n}\n";
  css += selector + "-text {\n" + kReset + "  background: none;\n" + Font(control, skin) +
         "  text-shadow: 0 1px 1px rgba(0,0,0,0.7);\n}\n";
  return css;
}

std::string LabelRules(const std::string& selector, const SkinControl& control, const Skin& skin,
                       const std::filesystem::path& folder) {
  return selector + " {\n" + kReset + Radius(control) +
         Background(control.BackColor, ImageUrl(folder, control.BackImage)) + Font(control, skin) +
         "}\n";
}

}  // namespace

std::string WindowCssName() {
  return "varo-window";
}

std::string ControlCssName(std::size_t index) {
  return "varo-control-" + std::to_string(index);
}

std::string CssColor(SkinColor color) {
  const unsigned alpha = (color >> 24) & 0xFF;
  const unsigned thousandths = (alpha * 1000 + 127) / 255;
  std::string fraction =
      thousandths >= 1000 ? "1" : "0." + std::to_string(1000 + thousandths).substr(1);
  return "rgba(" + std::to_string((color >> 16) & 0xFF) + "," +
         std::to_string((color >> 8) & 0xFF) + "," + std::to_string(color & 0xFF) + "," + fraction +
         ")";
}

std::string CssString(std::string_view text) {
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (c == '\n' || c == '\r') {
      quoted += "\\a ";
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

std::string MakeSkinStyleSheet(const Skin& skin, const std::filesystem::path& folder) {
  const std::string window = "#" + WindowCssName();
  std::string css = window + " {\n" +
                    Background(skin.BackColor, ImageUrl(folder, skin.Background),
                               Pixels(skin.Width) + " " + Pixels(skin.Height));
  if (!skin.Font.empty()) {
    css += "  font-family: " + CssString(skin.Font) + ", sans-serif;\n";
  }
  css += "  font-size: " + Pixels(skin.FontSize) + ";\n";
  css += "  color: " + CssColor(skin.TextColor) + ";\n}\n";
  if (!skin.Font.empty()) {
    // The error boxes and the tooltips speak Chinese too.
    css +=
        "messagedialog, tooltip {\n  font-family: " + CssString(skin.Font) + ", sans-serif;\n}\n";
  }
  for (std::size_t i = 0; i < skin.Controls.size(); ++i) {
    const SkinControl& control = skin.Controls[i];
    const std::string selector = window + " #" + ControlCssName(i);
    if (control.Class == "ButtonUI" || control.Class == "OptionUI") {
      css += ButtonRules(selector, control, skin, folder);
    } else if (control.Class == "ProgressUI") {
      css += BarRules(selector, control, skin, folder);
    } else {
      css += LabelRules(selector, control, skin, folder);
    }
  }
  return css;
}

}  // namespace varo::platform

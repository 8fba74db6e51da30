#include "support/XTools.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <set>
#include <sstream>

#include "support/Subprocess.h"

namespace varo::gui_test {
namespace {

int Field(const std::string& text, const std::string& label) {
  const auto at = text.find(label);
  return at == std::string::npos ? 0 : std::stoi(text.substr(at + label.size()));
}

std::string Chomp(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
    text.pop_back();
  }
  return text;
}

}  // namespace

std::optional<WindowInfo> DescribeWindow(const std::string& id) {
  // WINDOW=..., X=..., Y=..., WIDTH=..., HEIGHT=..., SCREEN=... one a line.
  const auto geometry = RunForOutput({"xdotool", "getwindowgeometry", "--shell", id});
  const auto title = RunForOutput({"xdotool", "getwindowname", id});
  if (!geometry || !title) {
    return std::nullopt;
  }
  WindowInfo window;
  window.Id = id;
  window.Title = Chomp(*title);
  window.X = Field(*geometry, "\nX=");
  window.Y = Field(*geometry, "\nY=");
  window.Width = Field(*geometry, "WIDTH=");
  window.Height = Field(*geometry, "HEIGHT=");
  return window;
}

std::vector<WindowInfo> FindWindows(const std::string& title, bool visibleOnly) {
  std::vector<std::string> command = {"xdotool", "search"};
  if (visibleOnly) {
    command.push_back("--onlyvisible");
  }
  command.insert(command.end(), {"--name", "."});
  std::vector<WindowInfo> windows;
  // xdotool exits with 1 when nothing matches: no output, no windows.
  const auto ids = RunForOutput(command);
  if (!ids) {
    return windows;
  }
  std::istringstream lines(*ids);
  std::string id;
  while (std::getline(lines, id)) {
    if (auto window = DescribeWindow(id); window && window->Title == title) {
      windows.push_back(*window);
    }
  }
  return windows;
}

bool XdoTool(const std::vector<std::string>& arguments) {
  std::vector<std::string> command = {"xdotool"};
  command.insert(command.end(), arguments.begin(), arguments.end());
  return RunForOutput(command).has_value();
}

bool SaveScreenshot(const std::filesystem::path& file) {
  std::error_code error;
  std::filesystem::create_directories(file.parent_path(), error);
  return RunForOutput({"import", "-window", "root", file.string()}).has_value();
}

std::optional<Picture> Picture::Load(const std::filesystem::path& file) {
  GdkPixbuf* image = gdk_pixbuf_new_from_file(file.c_str(), nullptr);
  if (image == nullptr) {
    return std::nullopt;
  }
  Picture picture;
  picture.W = gdk_pixbuf_get_width(image);
  picture.H = gdk_pixbuf_get_height(image);
  const int channels = gdk_pixbuf_get_n_channels(image);
  const int stride = gdk_pixbuf_get_rowstride(image);
  const guchar* pixels = gdk_pixbuf_read_pixels(image);
  for (int y = 0; y < picture.H; ++y) {
    for (int x = 0; x < picture.W; ++x) {
      const guchar* p = pixels + y * stride + x * channels;
      picture.Pixels.push_back({p[0], p[1], p[2]});
    }
  }
  g_object_unref(image);
  return picture;
}

Picture::Rgb Picture::At(int x, int y) const {
  if (x < 0 || y < 0 || x >= W || y >= H) {
    return {};
  }
  return Pixels[static_cast<std::size_t>(y) * W + x];
}

std::size_t Picture::Colours(int x, int y, int width, int height) const {
  std::set<int> colours;
  for (int row = y; row < y + height; ++row) {
    for (int column = x; column < x + width; ++column) {
      const Rgb c = At(column, row);
      colours.insert((c.R << 16) | (c.G << 8) | c.B);
    }
  }
  return colours.size();
}

}  // namespace varo::gui_test

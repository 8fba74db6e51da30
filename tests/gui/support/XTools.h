#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// The display as a user sees it, through the X tools: windows by title,
// their places, pointer actions and screenshots.
namespace varo::gui_test {

struct WindowInfo {
  std::string Id;
  std::string Title;
  int X = 0;  // of the window's inside, on the screen
  int Y = 0;
  int Width = 0;
  int Height = 0;
};

// The top-level windows whose title is exactly title.
std::vector<WindowInfo> FindWindows(const std::string& title, bool visibleOnly = true);
std::optional<WindowInfo> DescribeWindow(const std::string& id);

// Runs xdotool with these arguments; false when it fails.
bool XdoTool(const std::vector<std::string>& arguments);

// The whole screen into a PNG file.
bool SaveScreenshot(const std::filesystem::path& file);

// An RGB picture read from a file.
class Picture {
 public:
  static std::optional<Picture> Load(const std::filesystem::path& file);
  int Width() const { return W; }
  int Height() const { return H; }
  struct Rgb {
    int R = 0;
    int G = 0;
    int B = 0;
  };
  Rgb At(int x, int y) const;
  // The number of distinct colours in a region: 1 for a blank one.
  std::size_t Colours(int x, int y, int width, int height) const;

 private:
  int W = 0;
  int H = 0;
  std::vector<Rgb> Pixels;
};

}  // namespace varo::gui_test

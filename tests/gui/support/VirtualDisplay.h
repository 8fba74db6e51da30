#pragma once

#include <sys/types.h>

#include <string>

namespace varo::gui_test {

// An Xvfb server of the test's own, on a display number that Xvfb picks. The
// constructor points DISPLAY at it (and keeps GTK on X11); the destructor
// stops it.
class VirtualDisplay {
 public:
  VirtualDisplay(int width = 1024, int height = 768);
  ~VirtualDisplay();
  VirtualDisplay(const VirtualDisplay&) = delete;
  VirtualDisplay& operator=(const VirtualDisplay&) = delete;

  bool Started() const { return !Name.empty(); }
  // ":N"
  const std::string& GetName() const { return Name; }
  int GetWidth() const { return Width; }
  int GetHeight() const { return Height; }

 private:
  pid_t Server = -1;
  std::string Name;
  const int Width;
  const int Height;
};

}  // namespace varo::gui_test

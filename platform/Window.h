#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/MessagePoster.h"

// What the core needs of its skinned window: the window and its modal loop,
// named controls built from a skin file, a periodic timer, posted messages
// and modal error boxes. Every call but Post is made on the window's thread.
namespace varo::platform {

// Window messages the core handles or posts; the numbers are Windows' own.
inline constexpr std::uint32_t WM_CREATE = 1;
inline constexpr std::uint32_t WM_DESTROY = 2;
inline constexpr std::uint32_t WM_CLOSE = 16;
inline constexpr std::uint32_t WM_NCHITTEST = 132;
inline constexpr std::uint32_t WM_TIMER = 275;

// Results of WM_NCHITTEST.
inline constexpr std::intptr_t HTCLIENT = 1;
inline constexpr std::intptr_t HTCAPTION = 2;

struct Point {
  int X = 0;
  int Y = 0;
};

struct Rect {
  int Left = 0;
  int Top = 0;
  int Right = 0;
  int Bottom = 0;
};

// The lParam of a mouse position message: signed x in the low word, signed y
// in the high word.
constexpr std::intptr_t PackPoint(Point point) {
  return static_cast<std::intptr_t>((static_cast<std::uint32_t>(point.Y & 0xFFFF) << 16) |
                                    static_cast<std::uint32_t>(point.X & 0xFFFF));
}
constexpr Point UnpackPoint(std::intptr_t lParam) {
  const auto bits = static_cast<std::uint32_t>(lParam);
  return {static_cast<std::int16_t>(bits & 0xFFFF), static_cast<std::int16_t>(bits >> 16)};
}

// One named control of the skin.
class Control {
 public:
  virtual ~Control() = default;
  virtual const std::string& GetName() const = 0;
  // The control's class as the skin names it: "ButtonUI", "TextUI",
  // "LabelUI", "ProgressUI", "OptionUI", ...
  virtual const std::string& GetClass() const = 0;
  // Shown from the next repaint on.
  virtual void SetText(const std::string& text) = 0;
  // Progress bars only (0 to 100 in our skin); other controls ignore it.
  virtual void SetValue(int value) = 0;
  // Progress bars only: the fill image, a file of the skin's folder.
  virtual void SetForeImage(const std::string& image) = 0;
};

// Receives the window's messages and its controls' events, on the window's
// thread.
class WindowHandler {
 public:
  virtual ~WindowHandler() = default;
  virtual std::intptr_t HandleMessage(std::uint32_t message, std::uintptr_t wParam,
                                      std::intptr_t lParam) = 0;
  // A control event: type "click" and the control that sent it, for one.
  virtual void Notify(std::string_view type, Control& sender) = 0;
};

class Window : public MessagePoster {
 public:
  // Creates the window, hidden, with its title. The handler receives
  // WM_CREATE inside this call and every message from then on, until the
  // window is destroyed. False when no window could be made.
  virtual bool Create(WindowHandler& handler, const std::string& title) = 0;

  // Builds the controls from a skin file; the images it names are looked up
  // in the file's folder. True when the window has its controls (a front-end
  // may fall back to a built-in layout and still answer true).
  virtual bool LoadSkin(const std::filesystem::path& skinFile) = 0;

  // The control of that name, or null.
  virtual Control* FindControl(std::string_view name) = 0;
  // The topmost control at a point in client coordinates, or null.
  virtual Control* FindControlAt(Point client) = 0;
  // The skin's caption band as insets: left, top, right, bottom.
  virtual Rect GetCaptionInsets() = 0;
  virtual Rect GetClientRect() = 0;
  virtual Point ScreenToClient(Point screen) = 0;

  // WM_TIMER (wParam id) reaches the handler once per period.
  virtual void SetTimer(std::uint32_t id, std::uint32_t periodMs) = 0;

  virtual void CenterWindow() = 0;
  virtual void ShowWindow(bool show) = 0;

  // Shows the window and runs its message loop; returns when the window has
  // been destroyed.
  virtual void ShowModal() = 0;

  // The default processing of a message; for WM_CLOSE it destroys the
  // window, which ends ShowModal.
  virtual std::intptr_t DefaultHandle(std::uint32_t message, std::uintptr_t wParam,
                                      std::intptr_t lParam) = 0;

  // A modal error box without owner, with an error icon and an OK button.
  // While it is open its loop keeps delivering the window's timer and posted
  // messages to the handler; returns when the user dismisses it.
  virtual void ShowErrorBox(const std::string& text, const std::string& caption) = 0;
};

}  // namespace varo::platform

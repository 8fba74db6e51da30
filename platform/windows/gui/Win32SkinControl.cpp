#include "platform/windows/gui/Win32SkinControl.h"

#include <algorithm>
#include <utility>

namespace varo::platform {

Win32SkinControl::Win32SkinControl(const SkinControl& spec,
                                   std::function<void(const Rect&)> invalidate)
    : Spec(spec), Invalidate(std::move(invalidate)), Value(spec.Min) {}

void Win32SkinControl::SetText(const std::string& text) {
  if (text != Spec.Text) {
    Spec.Text = text;
    Invalidate(Spec.Pos);
  }
}

void Win32SkinControl::SetValue(int value) {
  if (!IsBar()) {
    return;
  }
  value = std::clamp(value, std::min(Spec.Min, Spec.Max), std::max(Spec.Min, Spec.Max));
  if (value != Value) {
    Value = value;
    Invalidate(Spec.Pos);
  }
}

void Win32SkinControl::SetForeImage(const std::string& image) {
  if (IsBar() && image != Spec.ForeImage) {
    Spec.ForeImage = image;
    Invalidate(Spec.Pos);
  }
}

double Win32SkinControl::GetFraction() const {
  if (Spec.Max <= Spec.Min) {
    return 0.0;
  }
  const double fraction =
      static_cast<double>(Value - Spec.Min) / static_cast<double>(Spec.Max - Spec.Min);
  return std::clamp(fraction, 0.0, 1.0);
}

bool Win32SkinControl::Contains(Point client) const {
  return client.X >= Spec.Pos.Left && client.X < Spec.Pos.Right && client.Y >= Spec.Pos.Top &&
         client.Y < Spec.Pos.Bottom;
}

bool Win32SkinControl::IsButton() const {
  return Spec.Class == "ButtonUI" || Spec.Class == "OptionUI";
}

bool Win32SkinControl::IsBar() const {
  return Spec.Class == "ProgressUI";
}

void Win32SkinControl::SetState(State state) {
  if (state != Current) {
    Current = state;
    Invalidate(Spec.Pos);
  }
}

}  // namespace varo::platform

#pragma once

#include <functional>
#include <string>

#include "platform/SkinFile.h"
#include "platform/Window.h"

namespace varo::platform {

// One control of the Win32 skinned window: no window of its own, only its
// skin entry, its value and its pointer state, which the window paints.
// Every change that shows asks the window to repaint the control's area.
class Win32SkinControl final : public Control {
 public:
  enum class State { Normal, Hot, Pushed };

  // invalidate is called with the control's area whenever it must be
  // repainted.
  Win32SkinControl(const SkinControl& spec, std::function<void(const Rect&)> invalidate);

  const std::string& GetName() const override { return Spec.Name; }
  const std::string& GetClass() const override { return Spec.Class; }
  void SetText(const std::string& text) override;
  void SetValue(int value) override;
  void SetForeImage(const std::string& image) override;

  const SkinControl& GetSpec() const { return Spec; }
  const std::string& GetText() const { return Spec.Text; }
  int GetValue() const { return Value; }
  // The filled share of a bar, 0 to 1.
  double GetFraction() const;
  bool Contains(Point client) const;
  bool IsButton() const;
  bool IsBar() const;
  State GetState() const { return Current; }
  void SetState(State state);

 private:
  SkinControl Spec;
  const std::function<void(const Rect&)> Invalidate;
  int Value = 0;
  State Current = State::Normal;
};

}  // namespace varo::platform

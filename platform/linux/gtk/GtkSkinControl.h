#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <string>

#include "platform/SkinFile.h"
#include "platform/Window.h"

namespace varo::platform {

// One control of the skinned window: a GtkLabel for texts, a GtkButton for
// buttons, a GtkProgressBar with a label over it for bars. It keeps its
// skin entry, and forgets its widgets when the window goes.
class GtkSkinControl final : public Control {
 public:
  // What the control tells its window: a click on a button, and a new fill
  // image of a bar (the window then restyles).
  struct Events {
    std::function<void(GtkSkinControl&)> Clicked;
    std::function<void(GtkSkinControl&)> ImageChanged;
  };

  // Builds the widgets and puts them into fixed at the skin's place, with
  // the CSS names of the control at index.
  GtkSkinControl(const SkinControl& spec, std::size_t index, GtkFixed* fixed, Events events);
  ~GtkSkinControl() override;
  GtkSkinControl(const GtkSkinControl&) = delete;
  GtkSkinControl& operator=(const GtkSkinControl&) = delete;

  const std::string& GetName() const override { return Spec.Name; }
  const std::string& GetClass() const override { return Spec.Class; }
  void SetText(const std::string& text) override;
  void SetValue(int value) override;
  void SetForeImage(const std::string& image) override;

  const SkinControl& GetSpec() const { return Spec; }
  bool Contains(Point client) const;
  bool IsButton() const;
  // The main widget (label, button or bar); null once the window is gone.
  GtkWidget* GetWidget() const { return Widget; }
  // The widget that shows the text.
  GtkWidget* GetTextWidget() const { return TextWidget; }
  const std::string& GetText() const { return Spec.Text; }
  int GetValue() const { return Value; }
  // Drops the widgets (they are destroyed with the window).
  void Detach();

 private:
  static void OnWidgetDestroyed(GtkWidget* widget, gpointer self);
  static void OnClicked(GtkButton* button, gpointer self);

  SkinControl Spec;
  const Events Tell;
  GtkWidget* Widget = nullptr;
  GtkWidget* TextWidget = nullptr;
  int Value = 0;
};

}  // namespace varo::platform

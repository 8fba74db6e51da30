#include "platform/linux/gtk/GtkSkinControl.h"

#include <algorithm>
#include <utility>

#include "platform/linux/gtk/SkinStyleSheet.h"

namespace varo::platform {
namespace {

float AlignOf(SkinAlign align) {
  switch (align) {
    case SkinAlign::Left:
      return 0.0f;
    case SkinAlign::Center:
      return 0.5f;
    case SkinAlign::Right:
      return 1.0f;
  }
  return 0.0f;
}

GtkWidget* MakeLabel(const SkinControl& spec) {
  GtkWidget* label = gtk_label_new(spec.Text.c_str());
  gtk_label_set_single_line_mode(GTK_LABEL(label), TRUE);
  gtk_label_set_ellipsize(GTK_LABEL(label), PANGO_ELLIPSIZE_END);
  gtk_label_set_xalign(GTK_LABEL(label), AlignOf(spec.Align));
  gtk_label_set_yalign(GTK_LABEL(label), 0.5f);
  return label;
}

void Place(GtkFixed* fixed, GtkWidget* widget, const Rect& pos) {
  gtk_widget_set_size_request(widget, pos.Right - pos.Left, pos.Bottom - pos.Top);
  gtk_fixed_put(fixed, widget, pos.Left, pos.Top);
  gtk_widget_show(widget);
}

}  // namespace

GtkSkinControl::GtkSkinControl(const SkinControl& spec, std::size_t index, GtkFixed* fixed,
                               Events events)
    : Spec(spec), Tell(std::move(events)) {
  const std::string cssName = ControlCssName(index);
  if (IsButton()) {
    Widget = gtk_button_new();
    if (!Spec.Text.empty()) {
      TextWidget = MakeLabel(Spec);
      gtk_container_add(GTK_CONTAINER(Widget), TextWidget);
      gtk_widget_show(TextWidget);
    }
    gtk_widget_set_can_focus(Widget, FALSE);
    gtk_widget_set_focus_on_click(Widget, FALSE);
    gtk_button_set_relief(GTK_BUTTON(Widget), GTK_RELIEF_NONE);
    g_signal_connect(Widget, "clicked", G_CALLBACK(&GtkSkinControl::OnClicked), this);
    Place(fixed, Widget, Spec.Pos);
  } else if (Spec.Class == "ProgressUI") {
    Widget = gtk_progress_bar_new();
    gtk_progress_bar_set_show_text(GTK_PROGRESS_BAR(Widget), FALSE);
    Place(fixed, Widget, Spec.Pos);
    // The bar's text lies over it, as the skin's bars show their percentage.
    TextWidget = MakeLabel(Spec);
    gtk_widget_set_name(TextWidget, (cssName + "-text").c_str());
    Place(fixed, TextWidget, Spec.Pos);
    SetValue(Spec.Min);
  } else {
    Widget = MakeLabel(Spec);
    TextWidget = Widget;
    Place(fixed, Widget, Spec.Pos);
  }
  gtk_widget_set_name(Widget, cssName.c_str());
  if (!Spec.ToolTip.empty()) {
    gtk_widget_set_tooltip_text(Widget, Spec.ToolTip.c_str());
  }
  g_signal_connect(Widget, "destroy", G_CALLBACK(&GtkSkinControl::OnWidgetDestroyed), this);
  if (TextWidget != nullptr && TextWidget != Widget) {
    g_signal_connect(TextWidget, "destroy", G_CALLBACK(&GtkSkinControl::OnWidgetDestroyed), this);
  }
}

GtkSkinControl::~GtkSkinControl() {
  // Widgets still alive belong to a window that lives on (a skin loaded
  // anew): take them out of it.
  GtkWidget* widgets[] = {TextWidget != Widget ? TextWidget : nullptr, Widget};
  Detach();
  for (GtkWidget* widget : widgets) {
    if (widget != nullptr) {
      gtk_widget_destroy(widget);
    }
  }
}

void GtkSkinControl::OnWidgetDestroyed(GtkWidget*, gpointer self) {
  static_cast<GtkSkinControl*>(self)->Detach();
}

void GtkSkinControl::OnClicked(GtkButton*, gpointer self) {
  auto* control = static_cast<GtkSkinControl*>(self);
  if (control->Tell.Clicked) {
    control->Tell.Clicked(*control);
  }
}

void GtkSkinControl::Detach() {
  if (Widget != nullptr) {
    g_signal_handlers_disconnect_by_data(Widget, this);
  }
  if (TextWidget != nullptr && TextWidget != Widget) {
    g_signal_handlers_disconnect_by_data(TextWidget, this);
  }
  Widget = nullptr;
  TextWidget = nullptr;
}

bool GtkSkinControl::IsButton() const {
  return Spec.Class == "ButtonUI" || Spec.Class == "OptionUI";
}

bool GtkSkinControl::Contains(Point client) const {
  return client.X >= Spec.Pos.Left && client.X < Spec.Pos.Right && client.Y >= Spec.Pos.Top &&
         client.Y < Spec.Pos.Bottom;
}

void GtkSkinControl::SetText(const std::string& text) {
  if (text == Spec.Text) {
    return;  // the same text: no relayout, no redraw
  }
  Spec.Text = text;
  if (TextWidget != nullptr) {
    gtk_label_set_text(GTK_LABEL(TextWidget), text.c_str());
  } else if (Widget != nullptr && IsButton()) {
    TextWidget = MakeLabel(Spec);
    gtk_container_add(GTK_CONTAINER(Widget), TextWidget);
    gtk_widget_show(TextWidget);
  }
}

void GtkSkinControl::SetValue(int value) {
  if (Spec.Class != "ProgressUI") {
    return;
  }
  Value = value;
  if (Widget == nullptr) {
    return;
  }
  // Values beyond the range (a server that sends more than it announced)
  // show a full or empty bar.
  const double fraction =
      std::clamp(static_cast<double>(value - Spec.Min) / (Spec.Max - Spec.Min), 0.0, 1.0);
  if (gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(Widget)) != fraction) {
    gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(Widget), fraction);
  }
}

void GtkSkinControl::SetForeImage(const std::string& image) {
  if (Spec.Class != "ProgressUI" || image == Spec.ForeImage) {
    return;
  }
  Spec.ForeImage = image;
  if (Tell.ImageChanged) {
    Tell.ImageChanged(*this);
  }
}

}  // namespace varo::platform

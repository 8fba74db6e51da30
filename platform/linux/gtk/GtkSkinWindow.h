#pragma once

#include <gtk/gtk.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/SkinFile.h"
#include "platform/Window.h"
#include "platform/linux/gtk/GtkSkinControl.h"
#include "platform/linux/gtk/PostedMessagePump.h"

namespace varo::platform {

// The updater's window on GTK 3: undecorated, laid out and styled from a
// skin file, dragged by its caption band where the handler's hit test says
// so. Timers and posted messages are sources of the default main context;
// both keep running in the nested loop of an error box. Needs gtk_init
// first; every call but Post on the thread that ran it.
class GtkSkinWindow final : public Window {
 public:
  GtkSkinWindow();
  ~GtkSkinWindow() override;
  GtkSkinWindow(const GtkSkinWindow&) = delete;
  GtkSkinWindow& operator=(const GtkSkinWindow&) = delete;

  bool Create(WindowHandler& handler, const std::string& title) override;
  bool LoadSkin(const std::filesystem::path& skinFile) override;
  Control* FindControl(std::string_view name) override;
  Control* FindControlAt(Point client) override;
  Rect GetCaptionInsets() override;
  Rect GetClientRect() override;
  Point ScreenToClient(Point screen) override;
  void SetTimer(std::uint32_t id, std::uint32_t periodMs) override;
  void CenterWindow() override;
  void ShowWindow(bool show) override;
  void ShowModal() override;
  std::intptr_t DefaultHandle(std::uint32_t message, std::uintptr_t wParam,
                              std::intptr_t lParam) override;
  void ShowErrorBox(const std::string& text, const std::string& caption) override;
  void Post(const Message& message) override;
  void PostPaced(const Message& message, const std::atomic<bool>& stop) override;

  // The toplevel widget; null before Create and once destroyed.
  GtkWidget* GetWidget() const { return Toplevel; }
  bool IsDestroyed() const { return Destroyed; }
  // The skin in use (the built-in one when the file was no use).
  const Skin& GetSkin() const { return Layout; }
  bool UsesBuiltInSkin() const { return BuiltIn; }
  std::size_t PendingMessages() const { return Pump.Pending(); }
  const PostedMessagePump& GetPump() const { return Pump; }

 private:
  struct TimerEntry;
  static gboolean OnTimer(gpointer entry);
  static gboolean OnButtonPress(GtkWidget* widget, GdkEventButton* event, gpointer self);
  static gboolean OnMotion(GtkWidget* widget, GdkEventMotion* event, gpointer self);
  static gboolean OnButtonRelease(GtkWidget* widget, GdkEventButton* event, gpointer self);
  static gboolean OnGrabBroken(GtkWidget* widget, GdkEvent* event, gpointer self);
  static gboolean OnDeleteEvent(GtkWidget* widget, GdkEvent* event, gpointer self);
  static void OnDestroy(GtkWidget* widget, gpointer self);

  std::intptr_t Deliver(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);
  void BuildControls();
  void Restyle();
  void StopTimers();

  WindowHandler* Handler = nullptr;
  GtkWidget* Toplevel = nullptr;
  GtkWidget* Fixed = nullptr;
  GtkCssProvider* Css = nullptr;
  std::filesystem::path SkinFolder;
  Skin Layout;
  bool BuiltIn = false;
  std::vector<std::unique_ptr<GtkSkinControl>> Controls;
  std::map<std::uint32_t, std::unique_ptr<TimerEntry>> Timers;
  // A drag of the caption band that the window carries out itself.
  struct {
    bool Active = false;
    Point Pointer;  // where it began, on the screen
    Point Window;   // where the window was then
  } Drag;
  struct {
    guint32 Time = 0;
    Point At;
    std::intptr_t HitTest = HTCLIENT;
  } LastPress;
  GMainLoop* Loop = nullptr;
  bool Destroyed = false;
  PostedMessagePump Pump;
};

}  // namespace varo::platform

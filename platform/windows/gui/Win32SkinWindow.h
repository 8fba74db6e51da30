#pragma once

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/MessageQueue.h"
#include "platform/SkinFile.h"
#include "platform/Window.h"
#include "platform/windows/gui/Win32SkinControl.h"
#include "platform/windows/gui/Win32SkinPainter.h"
// The system's headers come after the platform's: their macros share the
// names of the platform's message constants.
#include <windows.h>

namespace varo::platform {

// The updater's window on Win32: a window of class "DUIMainFrame" without
// the system's frame, laid out from a skin file and painted with GDI+ into
// a memory bitmap. The handler's hit test decides where it is dragged.
// Posted messages wait in a queue of their own and are delivered to the
// handler by the window's thread, in the order posted, by any message loop
// of that thread (also a message box's); a flood of posts never holds back
// painting or the timer. Needs GDI+ started; every call but Post on the
// thread that created the window.
class Win32SkinWindow final : public Window {
 public:
  // The window class's name.
  static constexpr const wchar_t* kClassName = L"DUIMainFrame";

  Win32SkinWindow();
  ~Win32SkinWindow() override;
  Win32SkinWindow(const Win32SkinWindow&) = delete;
  Win32SkinWindow& operator=(const Win32SkinWindow&) = delete;

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
  // Waits while kPostedLimit messages wait for the window's thread (a cancel
  // ends the wait), so that a flood of progress cannot outgrow it.
  void PostPaced(const Message& message, const std::atomic<bool>& stop) override;

  // Some milliseconds of work for the handler and a few hundred KiB.
  static constexpr std::size_t kPostedLimit = 8192;

  // Messages posted and not yet delivered, and paced posters waiting for
  // room. Any thread.
  std::size_t PendingPosts() const { return Posted.Size(); }
  std::size_t WaitingPosters() const { return Posted.WaitingPosters(); }

  // The window; null before Create and once destroyed.
  HWND GetHandle() const { return Handle.load(); }
  bool IsDestroyed() const { return Destroyed; }
  // The skin in use (the built-in one when the file was no use).
  const Skin& GetSkin() const { return Layout; }
  bool UsesBuiltInSkin() const { return BuiltIn; }
  // The window that shows the controls' tooltips; null when none has one.
  HWND GetTips() const { return Tips; }
  // Paints the whole window into dc, as WM_PAINT does, in device pixels.
  void PaintTo(HDC dc);
  // Called on the window's thread when the taskbar is made anew (Explorer
  // started again) and has lost the notification-area icons.
  void SetTaskbarCreatedAction(std::function<void()> action) {
    OnTaskbarCreated = std::move(action);
  }

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT Dispatch(UINT message, WPARAM wParam, LPARAM lParam);
  std::intptr_t Deliver(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);
  void Wake();
  void DrainPosted();
  void Paint();
  void InvalidateArea(const Rect& area);
  Win32SkinControl* ButtonAt(Point client);
  void OnMouseMove(Point client);
  void OnButtonDown(Point client);
  void OnButtonUp(Point client);
  void SetIcons(const std::filesystem::path& file);
  // The tooltips of the controls that have one.
  void BuildTips();
  // Between the skin's pixels and the device's.
  int ToDevice(int length) const;
  Point ToSkin(long x, long y) const;
  Point ToSkin(LPARAM lParam) const;

  WindowHandler* Handler = nullptr;
  std::atomic<HWND> Handle{nullptr};
  bool Destroyed = false;
  Skin Layout;
  bool BuiltIn = false;
  // Device pixels per skin pixel: the monitor's dots per inch over 96.
  double Scale = 1.0;
  std::vector<std::unique_ptr<Win32SkinControl>> Controls;
  Win32SkinPainter Painter;
  // The button under the pointer and the one pressed, or null.
  Win32SkinControl* Hot = nullptr;
  Win32SkinControl* Pressed = nullptr;
  bool TrackingLeave = false;
  // The window's icons from the skin, or null.
  HICON BigIcon = nullptr;
  HICON SmallIcon = nullptr;
  // The tooltip window and its texts, or null.
  HWND Tips = nullptr;
  std::vector<std::wstring> TipTexts;
  // Set by a post that woke the window, cleared when a drain begins.
  std::atomic<bool> Signalled{false};
  // The registered "TaskbarCreated" message (0 before Create), and what it
  // calls.
  UINT TaskbarCreated = 0;
  std::function<void()> OnTaskbarCreated;
  MessageQueue Posted{{}, kPostedLimit};
};

}  // namespace varo::platform

#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/MessageQueue.h"
#include "platform/Shell.h"
#include "platform/Window.h"

namespace varo::platform {

// A window and shell without a display. It records every text, bar value,
// error box, program start and tray call in order. Its loop is either real
// (ShowModal: a 200 ms tick and posted messages, as a desktop delivers them)
// or driven by a test: Tick delivers one timer message, Dispatch the posted
// messages one at a time, and an error box stays open while BoxHandler runs.
class HeadlessDesktop final : public Window, public Shell {
 public:
  // One recorded call. Kind is "text", "value", "image", "box", "start",
  // "tray", "show", "center" or "destroy".
  struct Event {
    std::string Kind;
    std::string Name;        // control name; box caption; tray action; program file
    std::string Text;        // text; box text; tray tip; parameters
    std::int64_t Value = 0;  // bar value; tray flags; shown or not; 1 for a system program
    std::string Extra;       // verb of a start; icon file of a tray call
  };

  HeadlessDesktop();
  ~HeadlessDesktop() override;

  // The controls every skin of ours has. A test may drop one to see how the
  // core copes: RemoveControl before Create.
  void RemoveControl(const std::string& name);

  // Window
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

  // Shell
  void Start(const StartRequest& request) override;
  IconHandle LoadIcon(const std::filesystem::path& file) override;
  void DestroyIcon(IconHandle icon) override;
  bool NotifyIcon(TrayAction action, const TrayData& data) override;
  std::int32_t ClockMs() override;

  // --- Driving it from a test (window's thread) ---

  // Delivers one WM_TIMER of the timer that was set.
  void Tick();
  // Handles the oldest posted message; false when none is queued.
  bool DispatchOne();
  // Handles posted messages as they arrive (waiting for worker threads)
  // until done() holds after one of them, or timeout passes. True when done.
  bool DispatchUntil(const std::function<bool()>& done,
                     std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // The messages waiting to be handled.
  std::size_t PendingMessages() const { return Queue.Size(); }

  // Runs while an error box is open; the box closes when it returns. Without
  // one, a box closes at once.
  std::function<void(const std::string& text)> BoxHandler;

  // The process clock that ClockMs reports; a test sets it.
  std::int32_t Clock = 0;

  // Where the program's tray icon would come from: the icon files loaded.
  const std::map<IconHandle, std::filesystem::path>& LoadedIcons() const { return Icons; }

  // What was recorded.
  std::vector<Event> Events;
  std::vector<Event> EventsOf(const std::string& kind) const;
  // The texts set on one control, in order.
  std::vector<std::string> TextsOf(const std::string& control) const;
  std::vector<std::int64_t> ValuesOf(const std::string& control) const;
  std::string CurrentText(const std::string& control) const;
  std::vector<StartRequest> Starts() const;

  bool Created() const { return Handler != nullptr && !Destroyed; }
  bool IsDestroyed() const { return Destroyed; }
  bool Visible() const { return Shown; }
  std::uint32_t TimerId() const { return TimerIdSet; }
  std::uint32_t TimerPeriod() const { return TimerPeriodMs; }
  int OpenBoxes() const { return BoxDepth; }
  bool TrayShown() const { return TrayPresent; }

 private:
  class HeadlessControl;
  void Record(Event event);
  void Deliver(const Message& message);

  WindowHandler* Handler = nullptr;
  bool Destroyed = false;
  bool Shown = false;
  std::uint32_t TimerIdSet = 0;
  std::uint32_t TimerPeriodMs = 0;
  int BoxDepth = 0;
  bool TrayPresent = false;
  IconHandle NextIcon = 1;
  std::map<IconHandle, std::filesystem::path> Icons;
  std::vector<std::unique_ptr<HeadlessControl>> Controls;

  MessageQueue Queue;  // any thread posts, the window's thread takes
};

}  // namespace varo::platform

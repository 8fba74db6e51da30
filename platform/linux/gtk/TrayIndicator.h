#pragma once

#include <gtk/gtk.h>

#include <chrono>
#include <filesystem>
#include <string>

// The notification-area icon on libayatana-appindicator3, a
// StatusNotifierItem on the session bus. An indicator shows an icon (a file
// in a folder, by name) and a title; the tip is the title, and also the one
// inactive entry of its menu, where every host shows it.
typedef struct _AppIndicator AppIndicator;

namespace varo::platform {

class TrayIndicator {
 public:
  // Changes of icon and tip reach the indicator at most once per interval
  // (each one a message on the session bus); the latest wins.
  explicit TrayIndicator(std::chrono::milliseconds interval = std::chrono::milliseconds(100));
  ~TrayIndicator();
  TrayIndicator(const TrayIndicator&) = delete;
  TrayIndicator& operator=(const TrayIndicator&) = delete;

  // Shows the indicator. False, with one line on standard error the first
  // time, when the desktop has no notification area: no session bus, or
  // neither a StatusNotifierWatcher nor a system tray.
  bool Add(const std::filesystem::path& icon, const std::string& tip);
  // An empty path shows no picture. False when the indicator is not shown.
  bool SetIcon(const std::filesystem::path& icon);
  bool SetTip(const std::string& tip);
  bool Remove();

  bool Shown() const { return Indicator != nullptr; }
  // What the indicator shows now, and how often it was changed.
  std::filesystem::path ShownIcon() const { return Applied.Icon; }
  std::string ShownTip() const { return Applied.Tip; }
  int Changes() const { return ChangeCount; }

  // Whether this session has a notification area that an indicator can use.
  static bool NotificationAreaAvailable();

 private:
  struct State {
    std::filesystem::path Icon;
    std::string Tip;
    bool Set = false;
  };
  static gboolean OnDue(gpointer self);
  void Schedule();
  void Apply();

  const std::chrono::milliseconds Interval;
  AppIndicator* Indicator = nullptr;
  GtkWidget* Menu = nullptr;
  GtkWidget* TipItem = nullptr;
  State Wanted;
  State Applied;
  gint64 LastApplied = 0;  // monotonic microseconds
  guint DueSource = 0;
  int ChangeCount = 0;
};

}  // namespace varo::platform

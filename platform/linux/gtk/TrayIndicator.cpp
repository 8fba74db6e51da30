#include "platform/linux/gtk/TrayIndicator.h"

#include <gdk/gdkx.h>
#include <libayatana-appindicator/app-indicator.h>

#include <iostream>
#include <system_error>

namespace varo::platform {
namespace {

bool SessionBusAddressKnown() {
  if (const gchar* address = g_getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) {
    return true;
  }
  // Without an address GLib would try the user's runtime folder, then
  // start a bus of its own for the display; only the first is welcome.
  std::error_code error;
  return std::filesystem::exists(std::filesystem::path(g_get_user_runtime_dir()) / "bus", error);
}

bool WatcherRegistered(GDBusConnection* bus) {
  GVariant* reply = g_dbus_connection_call_sync(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
      g_variant_new("(s)", "org.kde.StatusNotifierWatcher"), G_VARIANT_TYPE("(b)"),
      G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
  if (reply == nullptr) {
    return false;
  }
  gboolean owned = FALSE;
  g_variant_get(reply, "(b)", &owned);
  g_variant_unref(reply);
  return owned != FALSE;
}

// An XEmbed system tray, which the indicator falls back to without a
// watcher.
bool SystemTrayPresent() {
  GdkDisplay* display = gdk_display_get_default();
  if (display == nullptr || !GDK_IS_X11_DISPLAY(display)) {
    return false;
  }
  Display* xdisplay = GDK_DISPLAY_XDISPLAY(display);
  const std::string selection = "_NET_SYSTEM_TRAY_S" + std::to_string(DefaultScreen(xdisplay));
  return XGetSelectionOwner(xdisplay, XInternAtom(xdisplay, selection.c_str(), False)) != None;
}

}  // namespace

TrayIndicator::TrayIndicator(std::chrono::milliseconds interval) : Interval(interval) {}

TrayIndicator::~TrayIndicator() {
  Remove();
}

bool TrayIndicator::NotificationAreaAvailable() {
  if (!SessionBusAddressKnown()) {
    return false;
  }
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (bus == nullptr) {
    return false;
  }
  // The shared connection would end the process when the bus goes away;
  // the updater runs on without its icon instead.
  g_dbus_connection_set_exit_on_close(bus, FALSE);
  const bool available = WatcherRegistered(bus) || SystemTrayPresent();
  g_object_unref(bus);
  return available;
}

bool TrayIndicator::Add(const std::filesystem::path& icon, const std::string& tip) {
  if (Indicator == nullptr) {
    if (!NotificationAreaAvailable()) {
      static bool told = false;
      if (!told) {
        told = true;
        std::cerr << "varo-update: no notification area on this desktop; running without a tray "
                     "icon\n";
      }
      return false;
    }
    Indicator = app_indicator_new("varo-update", "", APP_INDICATOR_CATEGORY_APPLICATION_STATUS);
    Menu = gtk_menu_new();
    g_object_ref_sink(Menu);  // ours as much as the indicator's
    TipItem = gtk_menu_item_new_with_label(tip.c_str());
    gtk_widget_set_sensitive(TipItem, FALSE);
    gtk_menu_shell_append(GTK_MENU_SHELL(Menu), TipItem);
    gtk_widget_show_all(Menu);
    app_indicator_set_menu(Indicator, GTK_MENU(Menu));
    Applied = State{};
  }
  Wanted = {icon, tip, true};
  Apply();
  app_indicator_set_status(Indicator, APP_INDICATOR_STATUS_ACTIVE);
  return true;
}

bool TrayIndicator::SetIcon(const std::filesystem::path& icon) {
  if (Indicator == nullptr) {
    return false;
  }
  if (icon.native() != Wanted.Icon.native()) {  // the same again: nothing for the bus
    Wanted.Icon = icon;
    Schedule();
  }
  return true;
}

bool TrayIndicator::SetTip(const std::string& tip) {
  if (Indicator == nullptr) {
    return false;
  }
  if (tip != Wanted.Tip) {
    Wanted.Tip = tip;
    Schedule();
  }
  return true;
}

bool TrayIndicator::Remove() {
  if (DueSource != 0) {
    g_source_remove(DueSource);
    DueSource = 0;
  }
  if (Indicator == nullptr) {
    return false;
  }
  app_indicator_set_status(Indicator, APP_INDICATOR_STATUS_PASSIVE);
  g_object_unref(Indicator);
  Indicator = nullptr;
  gtk_widget_destroy(Menu);
  g_object_unref(Menu);
  Menu = nullptr;
  TipItem = nullptr;
  Applied = State{};
  return true;
}

void TrayIndicator::Schedule() {
  if (DueSource != 0) {
    return;  // a change is already due; it takes the latest state
  }
  const gint64 due = LastApplied + std::chrono::microseconds(Interval).count();
  const gint64 now = g_get_monotonic_time();
  if (now >= due) {
    Apply();
    return;
  }
  DueSource =
      g_timeout_add(static_cast<guint>((due - now + 999) / 1000), &TrayIndicator::OnDue, this);
}

gboolean TrayIndicator::OnDue(gpointer self) {
  auto* tray = static_cast<TrayIndicator*>(self);
  tray->DueSource = 0;
  tray->Apply();
  return G_SOURCE_REMOVE;
}

void TrayIndicator::Apply() {
  LastApplied = g_get_monotonic_time();
  if (Indicator == nullptr) {
    return;
  }
  bool changed = false;
  if (!Applied.Set || Wanted.Icon != Applied.Icon) {
    if (Wanted.Icon.empty()) {
      app_indicator_set_icon_full(Indicator, "", Wanted.Tip.c_str());
    } else {
      // A host finds the icon by its name in the indicator's theme folder.
      const std::string folder = Wanted.Icon.parent_path().string();
      const gchar* current = app_indicator_get_icon_theme_path(Indicator);
      if (current == nullptr || folder != current) {
        app_indicator_set_icon_theme_path(Indicator, folder.c_str());
      }
      app_indicator_set_icon_full(Indicator, Wanted.Icon.stem().c_str(), Wanted.Tip.c_str());
    }
    changed = true;
  }
  if (!Applied.Set || Wanted.Tip != Applied.Tip) {
    app_indicator_set_title(Indicator, Wanted.Tip.c_str());
    gtk_menu_item_set_label(GTK_MENU_ITEM(TipItem), Wanted.Tip.c_str());
    changed = true;
  }
  Applied = Wanted;
  Applied.Set = true;
  if (changed) {
    ++ChangeCount;
  }
}

}  // namespace varo::platform

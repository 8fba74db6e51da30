#include "support/GtkEnvironment.h"

#include <gtk/gtk.h>

namespace varo::gui_test {
namespace {
std::unique_ptr<VirtualDisplay> gDisplay;
bool gReady = false;

gboolean KeepGoing(gpointer) {
  return G_SOURCE_CONTINUE;
}
}  // namespace

void GtkEnvironment::SetUp() {
  gDisplay = std::make_unique<VirtualDisplay>();
  gReady = gDisplay->Started() && gtk_init_check(nullptr, nullptr);
}

void GtkEnvironment::TearDown() {
  if (gReady) {
    // Let GTK finish with the display before the server goes.
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    gdk_display_flush(gdk_display_get_default());
  }
  // The server stays up until the process ends: GDK treats a display that
  // vanishes under it as fatal. The display object's destructor runs at
  // exit, after GTK is done.
}

bool GtkEnvironment::Ready() {
  return gReady;
}

const VirtualDisplay& GtkEnvironment::Display() {
  return *gDisplay;
}

bool IterateUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  // A heartbeat, so that the blocking iteration below wakes up to check.
  const guint heartbeat = g_timeout_add(10, &KeepGoing, nullptr);
  bool result = true;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      result = false;
      break;
    }
    g_main_context_iteration(nullptr, TRUE);
  }
  g_source_remove(heartbeat);
  return result;
}

void IterateFor(std::chrono::milliseconds duration) {
  const auto until = std::chrono::steady_clock::now() + duration;
  IterateUntil([&] { return std::chrono::steady_clock::now() >= until; }, duration * 2);
}

}  // namespace varo::gui_test

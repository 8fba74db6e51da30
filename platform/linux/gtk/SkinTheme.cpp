#include "platform/linux/gtk/SkinTheme.h"

#include <gtk/gtk.h>

// Generated from SkinTheme.gresource.xml: makes the theme a resource.
extern "C" void varo_skin_theme_register_resource();

namespace varo::platform {
namespace {

constexpr const char* kVariable = "GTK_THEME";
constexpr const char* kThemeName = "VaroSkin";

// Whether GTK_THEME names the program's theme. The window's thread.
bool InUse = false;

void NameTheTheme() {
  static const bool registered = (varo_skin_theme_register_resource(), true);
  static_cast<void>(registered);
  g_setenv(kVariable, kThemeName, TRUE);
  InUse = true;
}

// GTK loads its theme again: GTK_THEME's if set, else the desktop's.
void ReloadTheme() {
  GtkSettings* settings = gtk_settings_get_default();
  if (settings == nullptr) {
    return;
  }
  gchar* name = nullptr;
  g_object_get(settings, "gtk-theme-name", &name, nullptr);
  g_object_set(settings, "gtk-theme-name", name, nullptr);
  g_free(name);
}

}  // namespace

bool InitGtkWithSkinTheme(int* argc, char*** argv) {
  if (!InUse && g_getenv(kVariable) == nullptr) {
    NameTheTheme();
  }
  const bool initialised = gtk_init_check(argc, argv);
  if (!initialised && InUse) {
    g_unsetenv(kVariable);
    InUse = false;
  }
  return initialised;
}

void UseSkinTheme() {
  if (InUse || g_getenv(kVariable) != nullptr) {
    return;
  }
  NameTheTheme();
  ReloadTheme();
}

void UseDesktopTheme() {
  if (!InUse) {
    return;
  }
  g_unsetenv(kVariable);
  InUse = false;
  ReloadTheme();
}

bool SkinThemeInUse() {
  return InUse;
}

}  // namespace varo::platform

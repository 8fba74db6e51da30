// varo-update: the updater on a Linux desktop.
#include <gtk/gtk.h>

#include <iostream>
#include <string>
#include <vector>

#include "app/Entry.h"
#include "platform/FileSystem.h"
#include "platform/linux/gtk/GtkShell.h"
#include "platform/linux/gtk/GtkSkinWindow.h"

int main(int argc, char** argv) {
  g_set_prgname("varo-update");
  // The window draws nothing with OpenGL, yet GDK would load a GL driver to
  // pick its visuals; on a display without a GPU that is a software
  // renderer of some 50 MB. GDK reads the setting once, in gtk_init; it is
  // taken back afterwards so that the programs the updater starts do not
  // inherit it. A GDK_GL of the user's own stays as it is.
  const bool glChosen = g_getenv("GDK_GL") != nullptr;
  if (!glChosen) {
    g_setenv("GDK_GL", "disable", TRUE);
  }
  const bool initialised = gtk_init_check(&argc, &argv);
  if (!glChosen) {
    g_unsetenv("GDK_GL");
  }
  if (!initialised) {
    std::cerr << "varo-update: cannot open the display\n";
    return 1;
  }
  g_set_application_name("Varo更新程序");
  int result = 0;
  {
    varo::platform::GtkShell shell;
    varo::platform::GtkSkinWindow window;
    result =
        varo::RunUpdater(window, shell, varo::platform::ProgramDirectory(),
                         varo::ParseArguments(std::vector<std::string>(argv + 1, argv + argc)));
  }
  return result;
}

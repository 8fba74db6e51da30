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
  if (!gtk_init_check(&argc, &argv)) {
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

// varo-update: the updater on a Linux desktop.
#include <glib-unix.h>
#include <gtk/gtk.h>

#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "app/Entry.h"
#include "platform/FileSystem.h"
#include "platform/linux/gtk/GtkShell.h"
#include "platform/linux/gtk/GtkSkinWindow.h"
#include "platform/linux/gtk/SkinTheme.h"

namespace {

// A signal that asks the program to end (the session ending, its terminal
// closed, Ctrl+C) closes the window as its close button does: the run then
// ends the usual way, dropping its downloads and removing its temporary
// files, rather than dying with them left behind. Called by the main loop.
gboolean CloseOnSignal(gpointer window) {
  static_cast<varo::platform::GtkSkinWindow*>(window)->Post({varo::platform::WM_CLOSE, 0, 0});
  return G_SOURCE_CONTINUE;
}

}  // namespace

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
  const bool initialised = varo::platform::InitGtkWithSkinTheme(&argc, &argv);
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
    std::vector<guint> signalSources;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
      // One that the program was started to ignore (nohup) stays ignored.
      struct sigaction current {};
      if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
        signalSources.push_back(g_unix_signal_add(signal, &CloseOnSignal, &window));
      }
    }
    result =
        varo::RunUpdater(window, shell, varo::platform::ProgramDirectory(),
                         varo::ParseArguments(std::vector<std::string>(argv + 1, argv + argc)));
    for (const guint source : signalSources) {
      g_source_remove(source);
    }
  }
  return result;
}

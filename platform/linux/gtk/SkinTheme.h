#pragma once

namespace varo::platform {

// The GTK theme of the program's windows. The skin draws every part of the
// main window, so a desktop theme styles nothing of it, yet GTK's default
// theme takes some 2 MB of memory to hold. The program runs with a theme of
// its own instead, "VaroSkin", which draws only the tooltips, and takes the
// desktop's theme back for its error boxes, which are GTK's own dialogs.
// A theme the user names in GTK_THEME is always kept.
//
// GTK reads GTK_THEME whenever it loads a theme, so the program's theme is
// named there for as long as it is in use; the programs the updater starts
// get their environment without it (ProgramStarter). All of these on the
// window's thread.

// gtk_init_check with the program's theme.
bool InitGtkWithSkinTheme(int* argc, char*** argv);

// Switches a started GTK to the program's theme.
void UseSkinTheme();

// Switches to the desktop's theme: the widgets shown afterwards, and those
// already shown, take its look.
void UseDesktopTheme();

// Whether the program's theme is in use, so that GTK_THEME is the
// program's own and no child's business.
bool SkinThemeInUse();

}  // namespace varo::platform

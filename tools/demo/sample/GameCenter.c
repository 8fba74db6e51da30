/* The demo's stand-in for a library of the game centre: it does nothing, it
   only carries a version resource (GameCenter.rc) for the updater to
   compare. */
#include <windows.h>

BOOL WINAPI DemoEntry(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reason;
  (void)reserved;
  return TRUE;
}

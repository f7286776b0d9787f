#include <windows.h>

// Nothing here may take the loader lock's neighbours: no threads, no waits,
// no LoadLibrary, no file I/O. Start and Stop do the module's work.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) ::DisableThreadLibraryCalls(instance);
  return TRUE;
}

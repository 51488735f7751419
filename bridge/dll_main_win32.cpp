// The loader's entry of varno.dll (Windows only): on process attach the library turns off
// the per-thread attach and detach notifications and initialises nothing else.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return TRUE;
}

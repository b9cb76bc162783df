/* The entry of the resource-only message DLL: it is loaded as data, and holds no code
   that needs the C runtime. */
#include <windows.h>

BOOL WINAPI KstvMessagesEntry(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reason;
  (void)reserved;
  return TRUE;
}

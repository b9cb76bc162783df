// Windows build, for the Wine scenarios (wine-run.sh --hold-session): a process that keeps
// the prefix's session open. It says so at once on standard output, unbuffered, so that
// the script knows the session is up, then waits until it is ended; after ten minutes it
// ends by itself, so that an interrupted run leaves nothing behind for long.
#include "platform/win32.h"

int main() {
  static const char kReady[] = "session held\r\n";
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), kReady, sizeof kReady - 1, &written, nullptr);
  Sleep(10 * 60 * 1000);
  return 0;
}

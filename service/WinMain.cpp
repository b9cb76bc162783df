// The executable's entry as the runtime calls it.
#include "service/Entry.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
  return kstv::Entry(instance, previous, commandLine, show);
}

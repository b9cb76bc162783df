// The process entry of KstvCardReader: fills ServiceModule, reads the command line and
// takes one of five roads. Its result is the process exit code.
#pragma once

#include "platform/win32.h"

namespace kstv {

int Entry(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show);

}  // namespace kstv

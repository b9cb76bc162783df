// What the debug log is made of: the level the registry asks for, and where the log of a
// program lies. For the log itself and for anything that reports on it.
#pragma once

#include "platform/win32.h"

namespace kstv {

// DebugLevel below HKLM\SOFTWARE\Kestrova\KstvCardReader, as the registry holds it: a
// REG_DWORD, or a REG_BINARY of exactly four bytes (little-endian). Anything else (no key,
// no value, a string such as the "0" that reg add writes by default, a value of another
// size) is level 0: no debug output.
DWORD ReadDebugLevel();

// The debug log of the program that lies in `programFolder` (ending in its backslash):
// KstvCardReader.log in that folder, which only administrators may change where the
// package installs. False, and `path` empty, when the path does not fit.
bool DebugLogPath(const char* programFolder, char (&path)[MAX_PATH]);
// The previous run's log beside it: KstvCardReader.log.1.
bool PreviousDebugLogPath(const char* programFolder, char (&path)[MAX_PATH]);

}  // namespace kstv

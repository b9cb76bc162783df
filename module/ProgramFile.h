// Where the program file lies, as the ANSI calls of the whole program name it.
#pragma once

#include "platform/win32.h"

namespace kstv {

// The program file's full path in the ANSI code page. ERROR_NO_UNICODE_TRANSLATION when
// the code page cannot hold a character of it: the ANSI calls would then name another
// file (a look-alike letter, as "O" for "Ω") or none ("?"), so nothing may be built on
// that path; `path` then holds it with each such character as "?", for a message.
// ERROR_FILENAME_EXCED_RANGE when it does not fit; otherwise the failing call's code.
DWORD ProgramFilePath(char (&path)[MAX_PATH]);

// The folder that holds the program file, ending in its backslash; the same codes.
DWORD ProgramFolder(char (&folder)[MAX_PATH]);

}  // namespace kstv

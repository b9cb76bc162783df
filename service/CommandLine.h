// The command line of KstvCardReader: four words behind a hyphen or slash.
#pragma once

#include "platform/win32.h"

namespace kstv {

// The two characters that start a switch.
inline constexpr char kSwitchDelimiters[] = "-/";

// The character behind the first character of `text` that is one of `delimiters`, or
// null when there is none or `text` is null or empty. Both strings are walked with
// CharNextA, so a double-byte character is stepped over whole; bytes compare exactly.
LPCSTR FindSwitch(LPCSTR text, LPCSTR delimiters);

enum class CommandWord { None, UnregServer, RegServer, Service, Status };

// Scans the command line switch by switch. A switch decides the road when the whole rest
// of the line behind its delimiter is one of the words (without regard to case), tried
// in the order UnregServer, RegServer, Service, Status; later switches are then not
// looked at. Status may also be followed by blanks, which a command prompt leaves before a
// redirection of the output.
CommandWord FindCommandWord(LPCSTR commandLine);

}  // namespace kstv

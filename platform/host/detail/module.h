// Host build, internal: the program's own module.
#pragma once

#include <cstddef>
#include <string>

#include "platform/win32.h"

namespace kstv::host::detail {

// The instance handle of the program's own module (what GetModuleHandleA(null) gives).
HMODULE ownModule();
// The path of the program's own module, in the ANSI code page and as the system keeps it,
// and one of its embedded resources of a named type.
std::string ownModulePath();
std::u16string ownModuleWidePath();
bool ownResource(const char* typeName, WORD id, const unsigned char** bytes, std::size_t* size);
// Builds the command line GetCommandLineA reports from the program's arguments: the
// module path in quotes, then each argument, quoted when it holds a blank.
void setCommandLineFromArguments(int argc, char** argv);

}  // namespace kstv::host::detail

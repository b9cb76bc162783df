// The program's own path, read the one way the registration code needs it.
#pragma once

#include "platform/win32.h"

namespace kstv {

// The last error as an HRESULT: a failure whatever the error says (0 gives E_FAIL).
HRESULT lastErrorResult();

// Reads the path of `module` into `path`: S_OK; 0x8007006F when the path fills the
// buffer (it may be cut); the last error when the call fails.
HRESULT readModulePath(HMODULE module, char (&path)[MAX_PATH]);

}  // namespace kstv

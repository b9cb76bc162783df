// Registration scripts carried as resources of the program's own executable, and the one
// operation that applies the AppID registration script.
#pragma once

#include "platform/win32.h"

namespace kstv {

// One extra replacement for a script run; an entry with a null key ends the array.
struct ReplacementEntry {
  LPCOLESTR key;
  LPCOLESTR value;
};

// Runs the "REGISTRY" resource `resourceId` of the program in registration mode
// (doRegister) or unregistration mode, with the Module replacement and any `extra` ones.
HRESULT applyRegistrationScript(UINT resourceId, BOOL doRegister, const ReplacementEntry* extra);

}  // namespace kstv

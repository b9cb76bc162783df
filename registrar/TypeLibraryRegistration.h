// Registration of the program's type library, the only server entry it has.
#pragma once

#include "platform/win32.h"
#include "service/ServiceModule.h"

namespace kstv {

// Unregisters the type library when withTypeLibrary is set; S_OK whatever happens.
HRESULT unregisterServerEntries(const ServiceModule& module, BOOL withTypeLibrary);

}  // namespace kstv

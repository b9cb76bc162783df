// Owners for the platform handles that tools and tests hold (system code holds keys in
// RegistryKey).
#pragma once

#include "platform/unique.h"
#include "platform/win32.h"

namespace kstv {

using UniqueKey = Unique<HKEY, RegCloseKey>;

}  // namespace kstv

// Host build, internal: what the service manager's two halves tell each other, the
// service process's reported state and the entries marked for deletion.
#pragma once

#include <optional>

#include "platform/win32.h"

namespace kstv::host::detail {

// The state the machine's service last reported, if it ever did (since the reports were
// last cleared).
std::optional<DWORD> reportedServiceState();

// Removes the entries marked for deletion whose service is not running and to which this
// process holds no handle.
void removeServicesMarkedForDeletion();

}  // namespace kstv::host::detail

// One card monitor per machine. A run claims the machine's monitor, a named object in the
// global namespace, for as long as it monitors; a second run finds it claimed and ends
// before it touches a badge or the log. Only administrators and services may make global
// objects, so that no user can hold the name to keep the service from running.
#pragma once

#include "platform/handles.h"

namespace kstv {

// Claims the machine's card monitor for as long as `claim` holds the object. Gives
// ERROR_SUCCESS, ERROR_SERVICE_ALREADY_RUNNING when another run holds it, or the
// platform's error when the object can be neither made nor opened (ERROR_ACCESS_DENIED
// for a user without the right): then no run can know it is alone, and none monitors.
DWORD ClaimCardMonitor(UniqueHandle& claim);

}  // namespace kstv

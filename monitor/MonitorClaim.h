// One card monitor per machine. A run claims the machine's monitor, a named section in the
// global namespace, for as long as it monitors; a second run finds it claimed and ends
// before it touches a badge or the log.
#pragma once

#include "platform/handles.h"

namespace kstv {

// Another kind of object holds the claim's name: some other program made it (a user may
// make a mutex or an event of any name in the global namespace, but not a section). It
// says nothing of another run; a run goes on then, unclaimed, so that no user can keep
// the service from monitoring by holding the name.
inline constexpr DWORD kMonitorClaimNameTaken = ERROR_INVALID_HANDLE;

// Claims the machine's card monitor for as long as `claim` holds the object. Gives
// ERROR_SUCCESS; ERROR_SERVICE_ALREADY_RUNNING when another run holds it;
// kMonitorClaimNameTaken; or the platform's error when the section can be neither made
// nor opened (ERROR_ACCESS_DENIED without the right to make global objects, which
// administrators and services hold): then no run can know it is alone, and none monitors.
DWORD ClaimCardMonitor(UniqueHandle& claim);

}  // namespace kstv

// A drive id as WMI's DeviceID of a logical disk gives it: one ASCII letter and a colon
// ("E:"). Nothing else names a drive: "\\.\" followed by anything longer could name a
// pipe, a share or a whole disk, which the system account must never open.
#pragma once

#include "platform/text16.h"
#include "platform/win32.h"

namespace kstv {

// True for exactly an ASCII letter, a colon and the terminator.
bool IsDriveId(const WCHAR* driveId);
// The same for text that may hold a NUL of its own ("E:" NUL "x" is no drive id).
bool IsDriveId(const WideString& driveId);

}  // namespace kstv

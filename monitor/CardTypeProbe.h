// Classifies a drive by the vendor and product ids its storage descriptor reports.
#pragma once

#include <string>

#include "monitor/CardType.h"
#include "platform/win32.h"

namespace kstv {

// The card in the drive `driveId` ("E:"): a card of the reader when the vendor id is
// exactly "Kestrova" and the product id begins with "SD", "MMC", "xD" or "MS" (tried in
// that order, case-sensitive); None for anything else, for every failure, and for an id
// that is not one letter and a colon, which is never opened.
CardType ProbeCardType(const WCHAR* driveId);

// The vendor and product ids of the drive's storage descriptor ("" for one it lacks). The
// volume is opened with no access rights, so that nothing mounts its file system, and
// asked first whether it holds a medium. False when the id is no drive id, the drive
// cannot be opened, holds no medium or gives no descriptor.
bool ReadDeviceIds(const WCHAR* driveId, std::string& vendorId, std::string& productId);

}  // namespace kstv

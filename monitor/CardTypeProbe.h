// Classifies a drive by the vendor and product ids its storage descriptor reports.
#pragma once

#include "monitor/CardType.h"
#include "platform/win32.h"

namespace kstv {

// The card in the drive `driveId` ("E:"): a card of the reader when the vendor id is
// exactly "Kestrova" and the product id begins with "SD", "MMC", "xD" or "MS" (tried in
// that order, case-sensitive); None for anything else, for every failure, and for an id
// that is not one letter and a colon, which is never opened.
CardType ProbeCardType(const WCHAR* driveId);

}  // namespace kstv

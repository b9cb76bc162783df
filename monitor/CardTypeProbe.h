// Classifies a drive by the vendor and product ids its storage descriptor reports.
#pragma once

#include <cstddef>

#include "monitor/CardType.h"
#include "platform/win32.h"

namespace kstv {

// The card in the drive `driveId` ("E:"): a card of the reader when the vendor id is
// exactly "Kestrova" and the product id begins with "SD", "MMC", "xD" or "MS" (tried in
// that order, case-sensitive); None for anything else, for every failure, and for an id
// that is not one letter and a colon, which is never opened.
CardType ProbeCardType(const WCHAR* driveId);

// What the probe reads of a drive: the descriptor's vendor and product ids (cut to fit,
// empty when absent) and the card they make, or the code for which the descriptor could
// not be read (0 when it was; an answer of no descriptor at all counts as read, and so
// does an empty slot, which holds no card whatever its descriptor says). The volume is
// opened with no access rights, so that nothing mounts its file system, and asked first
// whether it holds a medium.
inline constexpr std::size_t kDeviceIdCapacity = 64;
struct DriveIdentity {
  DWORD error = ERROR_SUCCESS;
  char vendorId[kDeviceIdCapacity] = {};
  char productId[kDeviceIdCapacity] = {};
  CardType cardType = CardType::None;
  bool holdsMedium = true;  // false for an empty slot, whose descriptor is not read
};
DriveIdentity ProbeDriveIdentity(const WCHAR* driveId);

}  // namespace kstv

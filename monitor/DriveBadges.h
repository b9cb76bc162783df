// Drive badges: the DefaultIcon and DefaultLabel keys below
// HKEY_CLASSES_ROOT\Applications\explorer.exe\Drives\<letter> that give a card drive its
// icon and label in the shell, and the record of which drive carries one.
#pragma once

#include "monitor/CardType.h"
#include "platform/win32.h"

namespace kstv {

// Builds the four icon paths from the program's folder (ending in a backslash):
// <folder>SD\kicsd.ico, <folder>SD\kicmmc.ico, <folder>XD\kicxd.ico, <folder>MS\kicms.ico.
// A path that would not fit its 260-byte buffer is left empty: that kind gets no icon.
void BuildBadgeIconPaths(const char* folder);

// Writes the badge of the drive whose id begins with its letter ("E:") for a card of
// `cardType`, and records that letter. Failures are skipped silently.
void PublishDriveBadge(const WCHAR* driveId, CardType cardType);

// Deletes the badge of the drive's letter, with everything below its drive key, and
// clears the record. "No key found" or "Unexpected error" on standard output when it
// cannot.
void RemoveDriveBadge(const WCHAR* driveId);

// Badges the first removable drive, in the platform's order, that holds a card.
void ScanDrivesAtStartup();

// The letter whose badge is recorded, 0 for none.
WCHAR BadgedDriveLetter();

// For the removal sink: removes the badge when `driveId` names the recorded drive,
// comparing and removing as one step.
void RemoveDriveBadgeIfRecorded(const WCHAR* driveId);
// For the removal sink's end: removes the recorded badge, if there is one.
void RemoveRecordedDriveBadge();

// The icon path of a card kind (empty for a kind without icon, or for None).
const char* BadgeIconPath(CardType cardType);

}  // namespace kstv

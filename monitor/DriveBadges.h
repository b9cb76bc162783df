// Drive badges: the DefaultIcon and DefaultLabel keys below
// HKEY_CLASSES_ROOT\Applications\explorer.exe\Drives\<letter> that give a card drive its
// icon and label in the shell, and the record of every drive letter that carries one.
#pragma once

#include <string>

#include "monitor/CardType.h"
#include "platform/win32.h"

namespace kstv {

// The key below HKEY_CLASSES_ROOT that holds each badged letter's drive key.
inline constexpr char kDrivesKeyPath[] = "Applications\\explorer.exe\\Drives";

// Builds the four icon paths from the program's folder (ending in a backslash):
// <folder>SD\kicsd.ico, <folder>SD\kicmmc.ico, <folder>XD\kicxd.ico, <folder>MS\kicms.ico.
// A path that would not fit its 260-byte buffer is left empty: that kind gets no icon; so
// are all four for an empty folder (one the ANSI calls could not name).
void BuildBadgeIconPaths(const char* folder);

// Writes the badge of the drive whose id begins with its letter ("E:") for a card of
// `cardType` (the icon as "<icon path>,0", the label), and adds that letter to the record. Failures
// are skipped silently. Once the record is closed nothing is written.
void PublishDriveBadge(const WCHAR* driveId, CardType cardType);

// Deletes the badge of the drive's letter, with everything below its drive key, and takes
// the letter out of the record. "No key found" or "Unexpected error" on standard output
// when it cannot.
void RemoveDriveBadge(const WCHAR* driveId);

// Badges every removable drive that holds a card, in the platform's order. Before each
// drive it asks `stopRequested` (when given) and ends once a stop is pending.
void ScanDrivesAtStartup(bool (*stopRequested)() = nullptr);

// Deletes the badges that an earlier run of this program left behind: every drive key
// whose DefaultIcon names one of the four icon paths (compared as the platform compares
// names, ignoring case). Keys naming any other icon, and the badges this run recorded,
// are left alone. For the start, before the scan.
void RemoveLeftoverDriveBadges();

// Whether a DefaultIcon value names one of the four icon paths: as this program writes
// it, the path and the icon's index ("<path>,0"), or as older versions wrote it, the path
// alone. Compared as RemoveLeftoverDriveBadges compares.
bool IsOwnBadgeIcon(const char* iconValue);

// Whose badge the drive key of `letter` holds: none (no drive key), this program's (its
// DefaultIcon names one of the four icon paths, compared as RemoveLeftoverDriveBadges
// compares them), or another program's. Only reads; the icon paths must be built.
enum class BadgeOwner { None, ThisProgram, AnotherProgram };
BadgeOwner DriveBadgeOwner(char letter);

// Whether any badge is recorded; a cheap look for the removal sink.
bool AnyDriveBadgeRecorded();
// The recorded letters, upper case, in alphabetical order ("" for none). A letter names
// one drive key whichever case its drive id gives it in.
std::string BadgedDriveLetters();

// Removes the badge when `driveId` names a recorded drive, looking and removing as one
// step. A letter that is not recorded costs no registry call.
void RemoveDriveBadgeIfRecorded(const WCHAR* driveId);
// Removes the badge of every recorded letter.
void RemoveRecordedDriveBadges();
// Which opening of the record is the current one: each OpenDriveBadgeRecord gives a new
// number. RemoveDriveBadgesOfRecord removes every recorded badge only while the record is
// still open as that opening, so that what outlives a run (a sink released late) leaves
// the badges of a later run alone.
unsigned CurrentDriveBadgeRecord();
void RemoveDriveBadgesOfRecord(unsigned record);

// For the sinks, whatever the event: probes the drive and badges it when it holds a card,
// or takes away a badge its letter carries when it does not. Anything but a drive id
// ("E:") is no drive: nothing is probed and no badge changes. The events of one drive are
// handled one at a time, so each decides from what the drive holds when it is handled,
// in whatever order they come; those of other drives do not wait for its probe.
void RefreshDriveBadge(const WCHAR* driveId);

// A run's start: badges may be published and recorded.
void OpenDriveBadgeRecord();
// A run's end: closes the record and removes every recorded badge, once a handler that is
// writing or removing a badge is done. A handler still probing its drive is not waited
// for: when it is done, it changes nothing, even once the record is open again for
// another run, and neither does one that comes later. Open again with
// OpenDriveBadgeRecord.
void CloseDriveBadgeRecord();

// The icon path of a card kind (empty for a kind without icon, or for None).
const char* BadgeIconPath(CardType cardType);

}  // namespace kstv

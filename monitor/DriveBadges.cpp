#include "monitor/DriveBadges.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "monitor/CardTypeProbe.h"
#include "monitor/ConsoleLines.h"
#include "monitor/DriveId.h"
#include "platform/locks.h"
#include "platform/text16.h"
#include "registry/RegistryKey.h"

namespace kstv {
namespace {

constexpr std::size_t kBadgeKeyPathCapacity = 80;
constexpr std::size_t kIconPathCapacity = MAX_PATH;
// The icon as the shell reads an icon location: the file, a comma and the icon's index
// (its first), so that a comma in the program's folder is not taken for the index's.
constexpr char kIconIndexSuffix[] = ",0";
constexpr std::size_t kIconValueCapacity = kIconPathCapacity + sizeof kIconIndexSuffix - 1;
constexpr DWORD kDriveListLength = 260;
constexpr std::size_t kDriveListCapacity = 264;
constexpr DWORD kKeyNameCapacity = 256;  // the longest key name and its terminator
constexpr std::size_t kLetterCount = 26;

char sdIconPath[kIconPathCapacity];
char mmcIconPath[kIconPathCapacity];
char xdIconPath[kIconPathCapacity];
char msIconPath[kIconPathCapacity];

struct CardBadge {
  CardType type;
  char* iconPath;
  const char* iconFormat;
  const char* iconFile;
  const char* label;
};

// The MMC icon lies in the SD folder.
const CardBadge kCardBadges[] = {
    {CardType::SD, sdIconPath, "%sSD\\%s", "kicsd.ico", "Secure Digital"},
    {CardType::MMC, mmcIconPath, "%sSD\\%s", "kicmmc.ico", "MMC"},
    {CardType::XD, xdIconPath, "%sXD\\%s", "kicxd.ico", "xD Picture"},
    {CardType::MS, msIconPath, "%sMS\\%s", "kicms.ico", "Memory Stick"},
};

// The record: bit n stands for the drive key of letter 'A' + n. Changed only under
// badgeLock; read without it where a stale answer does no harm.
std::atomic<std::uint32_t> recordedLetters{0};
// Cleared at a run's end, so that a delivery still under way publishes nothing after it.
// Changed only under badgeLock.
std::atomic<bool> recordOpen{true};
// Counts the record's openings: a handler whose probe outlasted its run's record finds
// another number once a later run has opened it again, and changes nothing of that run's.
std::atomic<unsigned> recordOpenings{0};
// Publishing, removing and reading the record happen on several WMI delivery threads.
// Never destroyed, as the service thread may still hold it while the process ends.
SRWLOCK badgeLock = SRWLOCK_INIT;
// One lock a letter, held by the handler of an event of that drive from its probe to its
// badge: a drive's events are handled one at a time, those of other drives alongside.
// Taken before badgeLock, never while holding it. Never destroyed, as badgeLock: a
// handler may still be probing a slow drive when its run has ended.
SRWLOCK letterLocks[kLetterCount] = {};

const CardBadge* BadgeFor(CardType type) {
  for (const CardBadge& badge : kCardBadges)
    if (badge.type == type) return &badge;
  return nullptr;
}

bool IsAsciiLetter(unsigned unit) {
  return (unit >= 'A' && unit <= 'Z') || (unit >= 'a' && unit <= 'z');
}

// A drive key is named by an ASCII letter; any other first character names none.
bool DriveLetterOf(const WCHAR* driveId, char& letter) {
  WCHAR unit = driveId ? driveId[0] : 0;
  if (!IsAsciiLetter(unit)) return false;
  letter = static_cast<char>(unit);
  return true;
}

// A letter's place in the record and among the letter locks; key names ignore case, and
// so does the record.
unsigned LetterIndex(char letter) { return (static_cast<unsigned char>(letter) & ~0x20u) - 'A'; }

std::uint32_t LetterBit(char letter) { return std::uint32_t{1} << LetterIndex(letter); }

// Creates or opens the badge key and writes its default value.
bool WriteBadgeValue(const char* keyPath, const char* text) {
  RegistryKey key;
  if (key.create(HKEY_CLASSES_ROOT, keyPath, nullptr, REG_OPTION_NON_VOLATILE, kKeyAllAccess,
                 nullptr, nullptr) != ERROR_SUCCESS)
    return false;
  RegSetValueExA(key.handle(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                 static_cast<DWORD>(std::strlen(text) + 1));
  key.close();
  return true;
}

// True when the drive key `name` below `drives` has a DefaultIcon whose default value is
// one of the four icons: a badge of this program.
bool NamesOwnIcon(HKEY drives, const char* name) {
  char path[kBadgeKeyPathCapacity];
  std::snprintf(path, sizeof path, "%s\\DefaultIcon", name);
  HKEY opened = nullptr;
  if (RegOpenKeyExA(drives, path, 0, kKeyRead, &opened) != ERROR_SUCCESS) return false;
  RegistryKey icon;
  icon.attach(opened);
  // Room for a terminator behind the longest icon value's, should the data lack one.
  char value[kIconValueCapacity + 1];
  DWORD type = REG_NONE;
  DWORD size = kIconValueCapacity;
  if (RegQueryValueExA(icon.handle(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value),
                       &size) != ERROR_SUCCESS ||
      type != REG_SZ)
    return false;
  value[size] = '\0';
  return IsOwnBadgeIcon(value);
}

// Deletes the badge of the drive's letter, with everything below its drive key, and
// takes the letter out of the record. The caller holds badgeLock.
void RemoveBadgeLocked(const WCHAR* driveId) {
  RegistryKey driveKey;  // only shows that the key exists; held until the end
  char letter = 0;
  const bool named = DriveLetterOf(driveId, letter);
  char drivePath[kBadgeKeyPathCapacity];
  HKEY opened = nullptr;
  if (named) {
    std::snprintf(drivePath, sizeof drivePath, "%s\\%c", kDrivesKeyPath, letter);
    RegOpenKeyExA(HKEY_CLASSES_ROOT, drivePath, 0, kKeyAllAccess, &opened);
  }
  if (!opened) {
    WriteLine("No key found");
  } else {
    driveKey.attach(opened);
    RegistryKey parent;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, kDrivesKeyPath, 0, kKeyAllAccess, &opened) !=
        ERROR_SUCCESS) {
      WriteLine("Unexpected error");
    } else {
      parent.attach(opened);
      const char keyName[2] = {letter, '\0'};
      RegistryKey::deleteTree(parent, keyName);
      parent.close();
    }
  }
  if (named) recordedLetters &= ~LetterBit(letter);
  driveKey.close();
}

// Writes the badge and records its letter, while the record is open. The caller holds
// badgeLock.
void PublishBadgeLocked(const WCHAR* driveId, CardType cardType) {
  const CardBadge* badge = BadgeFor(cardType);
  char letter = 0;
  if (!recordOpen || !badge || !DriveLetterOf(driveId, letter)) return;

  char keyPath[kBadgeKeyPathCapacity];
  std::snprintf(keyPath, sizeof keyPath, "%s\\%c\\DefaultIcon", kDrivesKeyPath, letter);
  // A kind without icon still records the drive, so that its label goes with the card.
  char iconValue[kIconValueCapacity];
  std::snprintf(iconValue, sizeof iconValue, "%s%s", badge->iconPath, kIconIndexSuffix);
  if (!badge->iconPath[0] || WriteBadgeValue(keyPath, iconValue))
    recordedLetters |= LetterBit(letter);

  std::snprintf(keyPath, sizeof keyPath, "%s\\%c\\DefaultLabel", kDrivesKeyPath, letter);
  WriteBadgeValue(keyPath, badge->label);
}

// The caller holds badgeLock.
void RemoveRecordedBadgesLocked() {
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    if (!(recordedLetters & LetterBit(letter))) continue;
    const WCHAR driveId[2] = {static_cast<WCHAR>(letter), 0};
    RemoveBadgeLocked(driveId);
  }
}

}  // namespace

BadgeOwner DriveBadgeOwner(char letter) {
  if (!IsAsciiLetter(static_cast<unsigned char>(letter))) return BadgeOwner::None;
  HKEY opened = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, kDrivesKeyPath, 0, kKeyRead, &opened) != ERROR_SUCCESS)
    return BadgeOwner::None;
  RegistryKey drives;
  drives.attach(opened);
  const char name[2] = {letter, '\0'};
  if (NamesOwnIcon(drives.handle(), name)) return BadgeOwner::ThisProgram;
  if (RegOpenKeyExA(drives.handle(), name, 0, kKeyRead, &opened) != ERROR_SUCCESS)
    return BadgeOwner::None;
  RegistryKey driveKey;
  driveKey.attach(opened);
  return BadgeOwner::AnotherProgram;
}

void BuildBadgeIconPaths(const char* folder) {
  for (const CardBadge& badge : kCardBadges) {
    // A relative path would name an icon wherever the shell happens to be.
    if (!folder[0]) {
      badge.iconPath[0] = '\0';
      continue;
    }
    int length =
        std::snprintf(badge.iconPath, kIconPathCapacity, badge.iconFormat, folder, badge.iconFile);
    if (length < 0 || static_cast<std::size_t>(length) >= kIconPathCapacity)
      badge.iconPath[0] = '\0';
  }
}

const char* BadgeIconPath(CardType cardType) {
  const CardBadge* badge = BadgeFor(cardType);
  return badge ? badge->iconPath : "";
}

bool IsOwnBadgeIcon(const char* iconValue) {
  // As this program writes it, with the index, or as older versions did, without.
  char path[kIconValueCapacity + 1];
  const std::size_t length = std::strlen(iconValue);
  const std::size_t suffix = sizeof kIconIndexSuffix - 1;
  if (length >= sizeof path) return false;
  std::memcpy(path, iconValue, length + 1);
  if (length >= suffix && std::strcmp(path + length - suffix, kIconIndexSuffix) == 0)
    path[length - suffix] = '\0';
  for (const CardBadge& badge : kCardBadges)
    if (badge.iconPath[0] && SameFileName(path, badge.iconPath)) return true;
  return false;
}

bool AnyDriveBadgeRecorded() { return recordedLetters != 0; }

std::string BadgedDriveLetters() {
  std::uint32_t letters = recordedLetters;
  std::string text;
  for (char letter = 'A'; letter <= 'Z'; ++letter)
    if (letters & LetterBit(letter)) text += letter;
  return text;
}

void PublishDriveBadge(const WCHAR* driveId, CardType cardType) {
  ExclusiveLock guard(badgeLock);
  PublishBadgeLocked(driveId, cardType);
}

void RemoveDriveBadge(const WCHAR* driveId) {
  ExclusiveLock guard(badgeLock);
  RemoveBadgeLocked(driveId);
}

void RemoveDriveBadgeIfRecorded(const WCHAR* driveId) {
  ExclusiveLock guard(badgeLock);
  char letter = 0;
  if (DriveLetterOf(driveId, letter) && (recordedLetters & LetterBit(letter)))
    RemoveBadgeLocked(driveId);
}

void RemoveRecordedDriveBadges() {
  ExclusiveLock guard(badgeLock);
  RemoveRecordedBadgesLocked();
}

unsigned CurrentDriveBadgeRecord() { return recordOpenings; }

void RemoveDriveBadgesOfRecord(unsigned record) {
  ExclusiveLock guard(badgeLock);
  if (recordOpen && recordOpenings == record) RemoveRecordedBadgesLocked();
}

void RefreshDriveBadge(const WCHAR* driveId) {
  // "E:\\x" is not drive E: it names no drive, and no badge changes for it.
  char letter = 0;
  if (!IsDriveId(driveId) || !DriveLetterOf(driveId, letter)) return;
  ExclusiveLock drive(letterLocks[LetterIndex(letter)]);
  const unsigned opening = recordOpenings;
  if (!recordOpen) return;  // the run is ending: nothing to publish, nothing left to remove
  CardType type = ProbeCardType(driveId);
  ExclusiveLock guard(badgeLock);
  // The run may have ended during the probe, and another begun: not this handler's.
  if (!recordOpen || recordOpenings != opening) return;
  if (type != CardType::None) {
    PublishBadgeLocked(driveId, type);
  } else if (recordedLetters & LetterBit(letter)) {
    RemoveBadgeLocked(driveId);
  }
}

void OpenDriveBadgeRecord() {
  ExclusiveLock guard(badgeLock);
  ++recordOpenings;
  recordOpen = true;
}

void CloseDriveBadgeRecord() {
  // A handler still probing a drive is not waited for: once it is done it finds the
  // record closed and changes nothing. One that is writing or removing a badge holds
  // badgeLock, and its badge goes with the others.
  ExclusiveLock guard(badgeLock);
  recordOpen = false;
  RemoveRecordedBadgesLocked();
}

void RemoveLeftoverDriveBadges() {
  ExclusiveLock guard(badgeLock);
  HKEY opened = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, kDrivesKeyPath, 0, kKeyAllAccess, &opened) != ERROR_SUCCESS)
    return;
  RegistryKey drives;
  drives.attach(opened);
  // Collected first: deleting while enumerating would shift the indexes. One key a letter.
  char leftovers[kLetterCount];
  std::size_t leftoverCount = 0;
  for (DWORD index = 0;; ++index) {
    char name[kKeyNameCapacity];
    DWORD length = sizeof name;
    LONG result =
        RegEnumKeyExA(drives.handle(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_NO_MORE_ITEMS || (result != ERROR_SUCCESS && result != ERROR_MORE_DATA))
      break;
    if (result == ERROR_SUCCESS && length == 1 &&
        IsAsciiLetter(static_cast<unsigned char>(name[0])) &&
        !(recordedLetters & LetterBit(name[0])) && NamesOwnIcon(drives.handle(), name) &&
        leftoverCount < kLetterCount)
      leftovers[leftoverCount++] = name[0];
  }
  for (std::size_t i = 0; i < leftoverCount; ++i) {
    const char keyName[2] = {leftovers[i], '\0'};
    RegistryKey::deleteTree(drives, keyName);
  }
}

void ScanDrivesAtStartup(bool (*stopRequested)()) {
  // Zeroed, so that the list always ends within the buffer; a listing that needs more
  // room than it has is a failure like any other.
  WCHAR roots[kDriveListCapacity] = {};
  DWORD length = GetLogicalDriveStringsW(kDriveListLength, roots);
  if (length == 0 || length > kDriveListLength) return;
  for (const WCHAR* root = roots; *root; root += WideLength(root) + 1) {
    // A stop makes the drives still to come pointless: each probe may take long.
    if (stopRequested && stopRequested()) return;
    const WCHAR driveId[3] = {root[0], KSTV_W(':'), 0};
    if (GetDriveTypeW(root) != DRIVE_REMOVABLE) continue;
    CardType type = ProbeCardType(driveId);
    if (type != CardType::None) PublishDriveBadge(driveId, type);
  }
}

}  // namespace kstv

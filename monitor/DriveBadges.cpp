#include "monitor/DriveBadges.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "monitor/CardTypeProbe.h"
#include "monitor/ConsoleLines.h"
#include "platform/text16.h"
#include "registry/RegistryKey.h"

namespace kstv {
namespace {

constexpr char kDrivesKeyPath[] = "Applications\\explorer.exe\\Drives";
constexpr std::size_t kBadgeKeyPathCapacity = 80;
constexpr std::size_t kIconPathCapacity = MAX_PATH;
constexpr DWORD kDriveListLength = 260;
constexpr std::size_t kDriveListCapacity = 264;

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

std::atomic<WCHAR> badgedDriveLetter{0};
// Publishing, removing and reading the record happen on several WMI delivery threads.
std::recursive_mutex badgeLock;

const CardBadge* BadgeFor(CardType type) {
  for (const CardBadge& badge : kCardBadges)
    if (badge.type == type) return &badge;
  return nullptr;
}

// A drive key is named by an ASCII letter; any other first character names none.
bool DriveLetterOf(const WCHAR* driveId, char& letter) {
  WCHAR unit = driveId ? driveId[0] : 0;
  if (!((unit >= KSTV_W('A') && unit <= KSTV_W('Z')) ||
        (unit >= KSTV_W('a') && unit <= KSTV_W('z'))))
    return false;
  letter = static_cast<char>(unit);
  return true;
}

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

}  // namespace

void BuildBadgeIconPaths(const char* folder) {
  for (const CardBadge& badge : kCardBadges) {
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

WCHAR BadgedDriveLetter() { return badgedDriveLetter.load(); }

void PublishDriveBadge(const WCHAR* driveId, CardType cardType) {
  std::lock_guard guard(badgeLock);
  const CardBadge* badge = BadgeFor(cardType);
  char letter;
  if (!badge || !DriveLetterOf(driveId, letter)) return;

  char keyPath[kBadgeKeyPathCapacity];
  std::snprintf(keyPath, sizeof keyPath, "%s\\%c\\DefaultIcon", kDrivesKeyPath, letter);
  // A kind without icon still records the drive, so that its label goes with the card.
  if (!badge->iconPath[0] || WriteBadgeValue(keyPath, badge->iconPath))
    badgedDriveLetter = driveId[0];

  std::snprintf(keyPath, sizeof keyPath, "%s\\%c\\DefaultLabel", kDrivesKeyPath, letter);
  WriteBadgeValue(keyPath, badge->label);
}

void RemoveDriveBadge(const WCHAR* driveId) {
  std::lock_guard guard(badgeLock);
  RegistryKey driveKey;  // only shows that the key exists; held until the end
  char letter;
  char drivePath[kBadgeKeyPathCapacity];
  HKEY opened = nullptr;
  if (DriveLetterOf(driveId, letter)) {
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
  badgedDriveLetter = 0;
  driveKey.close();
}

void RemoveDriveBadgeIfRecorded(const WCHAR* driveId) {
  std::lock_guard guard(badgeLock);
  WCHAR recorded = badgedDriveLetter.load();
  if (driveId && driveId[0] != 0 && recorded != 0 && driveId[0] == recorded)
    RemoveDriveBadge(driveId);
}

void RemoveRecordedDriveBadge() {
  std::lock_guard guard(badgeLock);
  WCHAR recorded = badgedDriveLetter.load();
  if (recorded == 0) return;
  const WCHAR driveId[2] = {recorded, 0};
  RemoveDriveBadge(driveId);
}

void ScanDrivesAtStartup() {
  // Zeroed, so that the list always ends within the buffer; a listing that needs more
  // room than it has is a failure like any other.
  WCHAR roots[kDriveListCapacity] = {};
  DWORD length = GetLogicalDriveStringsW(kDriveListLength, roots);
  if (length == 0 || length > kDriveListLength) return;
  for (const WCHAR* root = roots; *root; root += WideLength(root) + 1) {
    const WCHAR driveId[3] = {root[0], KSTV_W(':'), 0};
    if (GetDriveTypeW(root) != DRIVE_REMOVABLE) continue;
    CardType type = ProbeCardType(driveId);
    if (type != CardType::None) {
      PublishDriveBadge(driveId, type);
      return;
    }
  }
}

}  // namespace kstv

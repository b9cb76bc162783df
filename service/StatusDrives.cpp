// -Status: each logical drive, what its descriptor says and whose badge it carries, and
// the badges on letters that have no drive.
#include <string>

#include "monitor/CardTypeProbe.h"
#include "monitor/DriveBadges.h"
#include "platform/text16.h"
#include "service/StatusParts.h"

namespace kstv {
namespace {

constexpr DWORD kDriveListLength = 260;
constexpr std::size_t kDriveListCapacity = 264;
constexpr char kStale[] = " (stale: no card)";
constexpr char kWithoutBadge[] = " (card without its badge)";

const char* DriveTypeText(UINT type) {
  switch (type) {
    case DRIVE_NO_ROOT_DIR:
      return "no root folder";
    case DRIVE_REMOVABLE:
      return "removable";
    case DRIVE_FIXED:
      return "fixed";
    case DRIVE_REMOTE:
      return "network";
    case DRIVE_CDROM:
      return "CD-ROM";
    case DRIVE_RAMDISK:
      return "RAM disk";
  }
  return "unknown";
}

const char* CardText(CardType type) {
  switch (type) {
    case CardType::SD:
      return "card SD";
    case CardType::MMC:
      return "card MMC";
    case CardType::XD:
      return "card xD";
    case CardType::MS:
      return "card MS";
    case CardType::None:
      break;
  }
  return "no card";
}

const char* BadgeText(BadgeOwner owner) {
  switch (owner) {
    case BadgeOwner::ThisProgram:
      return "badge this program's";
    case BadgeOwner::AnotherProgram:
      return "badge another program's";
    case BadgeOwner::None:
      break;
  }
  return "badge none";
}

// A drive that holds no medium: an empty slot of the reader, which reports the reader's
// descriptor whatever card it may have held.
constexpr char kEmptySlot[] = "empty (no medium)";

// "Drive E", which makes the line "Drive E: ...".
std::string DriveName(char letter) { return std::string("Drive ") + letter; }

// The drive `letter` (its root "E:\"), judged: a badge of this program needs a card, and
// while the service runs a card needs its badge.
void ReadDrive(char letter, const WCHAR* root, bool monitoring, DriveFindings& findings,
               StatusReport& report) {
  const UINT type = GetDriveTypeW(root);
  const BadgeOwner owner = DriveBadgeOwner(letter);
  std::string value = DriveTypeText(type);
  // The scan badges only removable drives, but an arrival badges any: a badge of this
  // program is looked at on any drive.
  if (type == DRIVE_REMOVABLE || owner == BadgeOwner::ThisProgram) {
    const WCHAR driveId[3] = {root[0], KSTV_W(':'), 0};
    const DriveIdentity identity = ProbeDriveIdentity(driveId);
    if (identity.error != ERROR_SUCCESS) {
      value += ", descriptor " + UnreadText(identity.error) + ", " + BadgeText(owner);
      if (owner == BadgeOwner::ThisProgram || (monitoring && type == DRIVE_REMOVABLE))
        findings.undetermined.push_back(letter);
    } else {
      value += identity.holdsMedium
                   ? std::string(", vendor \"") + identity.vendorId + "\", product \"" +
                         identity.productId + "\", " + CardText(identity.cardType)
                   : std::string(", ") + kEmptySlot;
      value += std::string(", ") + BadgeText(owner);
      const bool card = identity.cardType != CardType::None;
      if (owner == BadgeOwner::ThisProgram && !card) {
        value += kStale;
        findings.staleBadges.push_back(letter);
      } else if (owner != BadgeOwner::ThisProgram && card && monitoring) {
        value += kWithoutBadge;
        findings.cardsWithoutBadge.push_back(letter);
      }
    }
  } else {
    value += std::string(", ") + BadgeText(owner);
  }
  AddStatusLine(report, DriveName(letter), value);
}

}  // namespace

DriveFindings ReadDriveStatus(ServiceModule& module, bool monitoring, StatusReport& report) {
  DriveFindings findings;
  // Whose badge a key is depends on the icon paths, which the program's folder gives.
  BuildBadgeIconPaths(module.moduleFolder);

  bool present[26] = {};
  WCHAR roots[kDriveListCapacity] = {};
  const DWORD length = GetLogicalDriveStringsW(kDriveListLength, roots);
  if (length == 0 || length > kDriveListLength) {
    AddStatusLine(report, "Drives", UnreadText(length == 0 ? GetLastError() : ERROR_MORE_DATA));
    findings.listUnread = true;
    return findings;  // without the list no letter is known to have no drive
  }
  for (const WCHAR* root = roots; *root; root += WideLength(root) + 1) {
    const WCHAR unit = root[0] & ~0x20;  // drive keys are named in upper case here
    if (unit < 'A' || unit > 'Z') continue;
    const char letter = static_cast<char>(unit);
    present[letter - 'A'] = true;
    ReadDrive(letter, root, monitoring, findings, report);
  }
  // A letter without a drive keeps a badge only when a run ended without taking it.
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    if (present[letter - 'A']) continue;
    const BadgeOwner owner = DriveBadgeOwner(letter);
    if (owner == BadgeOwner::None) continue;
    std::string value = std::string("no drive, ") + BadgeText(owner);
    if (owner == BadgeOwner::ThisProgram) {
      value += kStale;
      findings.staleBadges.push_back(letter);
    }
    AddStatusLine(report, DriveName(letter), value);
  }
  return findings;
}

}  // namespace kstv

// Reading drive badges back from the registry, and a clean Drives key for each test.
#pragma once

#include <optional>
#include <string>

#include "monitor/DriveBadges.h"
#include "tests/support/RegistryValues.h"
#include "tests/support/ScratchKey.h"

namespace kstv::test {

inline constexpr char kDrivesKey[] = "Applications\\explorer.exe\\Drives";

inline std::string badgeKey(char letter, const char* below = nullptr) {
  std::string path = std::string(kDrivesKey) + "\\" + letter;
  return below ? path + "\\" + below : path;
}

inline std::optional<std::string> badgeIcon(char letter) {
  return defaultValue(badgeKey(letter, "DefaultIcon"));
}
inline std::optional<std::string> badgeLabel(char letter) {
  return defaultValue(badgeKey(letter, "DefaultLabel"));
}
inline bool hasDriveKey(char letter) {
  return keyExists(HKEY_CLASSES_ROOT, badgeKey(letter).c_str());
}

// A drive key as a badge left by someone (an earlier run, another program) would be:
// DefaultIcon naming `icon` (as `type`, terminator included), and a DefaultLabel.
inline void plantBadge(char letter, const std::string& icon, DWORD type = REG_SZ) {
  UniqueKey key;
  if (createKey(HKEY_CLASSES_ROOT, badgeKey(letter, "DefaultIcon").c_str(), KEY_ALL_ACCESS, key) ==
      ERROR_SUCCESS)
    setString(key.get(), nullptr, icon + '\0', type);
  if (createKey(HKEY_CLASSES_ROOT, badgeKey(letter, "DefaultLabel").c_str(), KEY_ALL_ACCESS, key) ==
      ERROR_SUCCESS)
    setString(key.get(), nullptr, std::string("Left behind") + '\0');
}

// Starts and ends each test with no badge recorded, the record open and no Drives key.
class CleanBadges {
 public:
  CleanBadges() { clear(); }
  ~CleanBadges() { clear(); }

 private:
  static void clear() {
    if (!BadgedDriveLetters().empty()) {
      // Quietly: the removal prints nothing a test looks at.
      RemoveRecordedDriveBadges();
    }
    OpenDriveBadgeRecord();
    removeTree(HKEY_CLASSES_ROOT, kDrivesKey);
  }
};

}  // namespace kstv::test

#include "monitor/DriveId.h"

namespace kstv {

bool IsDriveId(const WCHAR* driveId) {
  if (!driveId) return false;
  const unsigned letter = driveId[0];
  const bool ascii = (letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z');
  return ascii && driveId[1] == ':' && driveId[2] == 0;
}

bool IsDriveId(const WideString& driveId) {
  return driveId.size() == 2 && IsDriveId(driveId.c_str());
}

}  // namespace kstv

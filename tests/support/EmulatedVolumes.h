// Cards in the emulated machine's drives, and a machine left as it was found.
#pragma once

#include "platform/host/control.h"

namespace kstv::test {

inline host::Volume cardVolume(char letter, const char* product, UINT driveType = DRIVE_REMOVABLE) {
  host::Volume volume;
  volume.letter = letter;
  volume.driveType = driveType;
  volume.vendor = "Kestrova";
  volume.product = product;
  return volume;
}

inline host::Volume plainVolume(char letter, UINT driveType = DRIVE_REMOVABLE) {
  host::Volume volume;
  volume.letter = letter;
  volume.driveType = driveType;
  volume.vendor = "Generic";
  volume.product = "USB Flash Disk";
  return volume;
}

// Removes every volume but the system disk when the test ends.
class OnlySystemDiskAfterwards {
 public:
  ~OnlySystemDiskAfterwards() {
    for (const host::Volume& volume : host::volumes())
      if (volume.letter != 'C') host::removeVolume(volume.letter);
  }
};

}  // namespace kstv::test

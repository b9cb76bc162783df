// The program's path on the emulated machine in double quotes, as its command line and
// its service entry's image path carry it.
#pragma once

#include <string>

#include "platform/host/control.h"

namespace kstv::test {

inline std::string quotedProgramPath() {
  return std::string("\"") + host::kDefaultModulePath + "\"";
}

}  // namespace kstv::test

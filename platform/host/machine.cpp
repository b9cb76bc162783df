// The emulated machine's directory: KSTV_MACHINE names it; without it every piece of
// machine state is in memory and private to the process.
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/host/control.h"

namespace kstv::host {

const std::string& machineDirectory() {
  static const std::string directory = [] {
    const char* named = std::getenv("KSTV_MACHINE");
    if (!named || !*named) return std::string();
    std::error_code ignored;
    std::filesystem::create_directories(named, ignored);
    return std::string(named);
  }();
  return directory;
}

}  // namespace kstv::host

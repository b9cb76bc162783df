// The emulated machine's directory: KSTV_MACHINE names it; without it every piece of
// machine state is in memory and private to the process (drive C: then lives in a
// temporary folder that goes when the process ends).
#include <cstdio>
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

void notePrivateMachine(const char* program) {
  if (machineDirectory().empty())
    std::fprintf(stderr,
                 "%s: KSTV_MACHINE is not set: this machine lives only as long as this command\n",
                 program);
}

const std::string& driveCRoot() {
  static const std::string root = [] {
    std::error_code ignored;
    if (!machineDirectory().empty()) {
      std::string path = (std::filesystem::path(machineDirectory()) / "drive_c").string();
      std::filesystem::create_directories(path, ignored);
      return path;
    }
    std::string pattern = (std::filesystem::temp_directory_path() / "kstv-drive-c-XXXXXX").string();
    std::string path = mkdtemp(pattern.data()) ? pattern : std::string();
    static const std::string removeAtExit = path;
    std::atexit([] {
      std::error_code ignoredAtExit;
      std::filesystem::remove_all(removeAtExit, ignoredAtExit);
    });
    return path;
  }();
  return root;
}

std::string hostPathOf(const std::string& windowsPath) {
  // "C:\a\b" and "c:/a/b" both name drive C:; other drives do not exist on this machine.
  if (windowsPath.size() < 3 || (windowsPath[0] != 'C' && windowsPath[0] != 'c') ||
      windowsPath[1] != ':' || (windowsPath[2] != '\\' && windowsPath[2] != '/'))
    return std::string();
  std::string path = driveCRoot();
  for (std::size_t i = 2; i < windowsPath.size(); ++i)
    path += windowsPath[i] == '\\' ? '/' : windowsPath[i];
  return path;
}

}  // namespace kstv::host

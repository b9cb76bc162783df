// GetVersionExA with a version the tests set: Windows 10 unless told otherwise.
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/host/control.h"
#include "platform/host/detail/call_records.h"
#include "platform/host/detail/failures.h"

namespace kstv::host {
namespace {

// KSTV_WINDOWS_VERSION=MAJOR.MINOR sets the start value, for a program run by a scenario.
DWORD StartVersion(bool major) {
  const char* text = std::getenv("KSTV_WINDOWS_VERSION");
  if (!text || !*text) return major ? 10 : 0;
  char* dot = nullptr;
  unsigned long value = std::strtoul(text, &dot, 10);
  if (major) return static_cast<DWORD>(value);
  return *dot == '.' ? static_cast<DWORD>(std::strtoul(dot + 1, nullptr, 10)) : 0;
}

std::atomic<DWORD> majorVersion{StartVersion(true)};
std::atomic<DWORD> minorVersion{StartVersion(false)};

DWORD BuildOf(DWORD major, DWORD minor) {
  if (major >= 10) return 19045;
  return major == 6 && minor == 3   ? 9600
         : major == 6 && minor == 2 ? 9200
         : major == 6 && minor == 1 ? 7601
                                    : 6002;
}

}  // namespace

void setWindowsVersion(DWORD major, DWORD minor) {
  majorVersion = major;
  minorVersion = minor;
}

}  // namespace kstv::host

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info) {
  using namespace kstv::host::detail;
  recordCall("GetVersionExA", {info ? hexArgument(info->dwOSVersionInfoSize) : "null"});
  if (auto code = kstv::host::detail::injectedFailure("GetVersionExA")) {
    SetLastError(*code);
    return FALSE;
  }
  if (!info) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD size = info->dwOSVersionInfoSize;
  if (size != sizeof(OSVERSIONINFOA) && size != sizeof(OSVERSIONINFOEXA)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memset(reinterpret_cast<BYTE*>(info) + sizeof(DWORD), 0, size - sizeof(DWORD));
  info->dwMajorVersion = kstv::host::majorVersion;
  info->dwMinorVersion = kstv::host::minorVersion;
  info->dwBuildNumber = kstv::host::BuildOf(info->dwMajorVersion, info->dwMinorVersion);
  info->dwPlatformId = 2;  // VER_PLATFORM_WIN32_NT
  if (size == sizeof(OSVERSIONINFOEXA)) static_cast<OSVERSIONINFOEXA*>(info)->wProductType = 1;
  return TRUE;
}

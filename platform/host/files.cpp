// CreateFileA: volumes by their device path (\\.\X:).
#include "platform/host/failures.h"
#include "platform/host/volumes.h"

HANDLE WINAPI CreateFileA(LPCSTR fileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                          HANDLE) {
  if (auto code = kstv::host::detail::injectedFailure("CreateFileA")) {
    SetLastError(*code);
    return INVALID_HANDLE_VALUE;
  }
  if (!fileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  if (auto volume = kstv::host::detail::openVolume(fileName)) return *volume;
  SetLastError(ERROR_PATH_NOT_FOUND);
  return INVALID_HANDLE_VALUE;
}

// Host build, internal: handles on a Unix stream rather than a file of drive C: the
// standard handles and the console, which WriteFile, GetFileType and CreateFileA share
// with the console calls.
#pragma once

#include <unistd.h>

#include "platform/host/detail/kernel_handles.h"

namespace kstv::host::detail {

struct StreamHandle : KernelObject {
  StreamHandle(int descriptor, bool ownsDescriptor, bool mayWrite)
      : fd(descriptor), owned(ownsDescriptor), writable(mayWrite) {}
  ~StreamHandle() override {
    if (owned) close(fd);
  }
  const int fd;  // a standard handle's is the process's own, never closed here
  const bool owned;
  const bool writable;
};

// CreateFileA of "CONOUT$": the attached console's output, for writing when `access`
// asks for it. As documented, the share mode must include FILE_SHARE_WRITE (else
// ERROR_INVALID_PARAMETER here); without a console ERROR_INVALID_HANDLE.
HANDLE openConsoleOutput(DWORD access, DWORD shareMode);

// Whether `name` is the console's output, which CreateFileA opens through
// openConsoleOutput (the name is compared without regard to case).
bool isConsoleOutputName(LPCSTR name);

}  // namespace kstv::host::detail

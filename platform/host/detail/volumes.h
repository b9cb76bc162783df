// Host build, internal: the emulated machine's volume table, kept in the machine database
// so that another process can insert and remove cards while the service runs.
#pragma once

#include <optional>
#include <vector>

#include "platform/host/control.h"

namespace kstv::host::detail {

std::optional<Volume> findVolume(char letter);
// The drive letters present now, in alphabetical order.
std::vector<char> volumeLetters();
// True for a path in the device namespace, \\.\ followed by anything.
bool isDevicePath(LPCSTR name);
// True for a device path of the form \\.\X:.
bool isVolumePath(LPCSTR name);
// Opens a volume by its device path: a handle, or INVALID_HANDLE_VALUE with the last error
// set. As Windows documents for volumes, the sharing must allow other readers and writers
// (the file systems hold the volume open) and the disposition must be OPEN_EXISTING. An
// open that asks for more than the attributes mounts the file system: it reads the
// medium, and fails with ERROR_NOT_READY where there is none.
HANDLE openVolume(LPCSTR name, DWORD access, DWORD shareMode, DWORD disposition);
// Whether `handle` is an opened volume.
bool isVolumeHandle(HANDLE handle);

}  // namespace kstv::host::detail

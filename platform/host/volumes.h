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
// Opens \\.\X: (nothing for any other name): a handle, or INVALID_HANDLE_VALUE with the
// last error set.
std::optional<HANDLE> openVolume(LPCSTR name);

}  // namespace kstv::host::detail

// Host build, internal: the failure a test has injected into a platform call.
#pragma once

#include <optional>

#include "platform/win32.h"

namespace kstv::host::detail {

// The code the named call must fail with now, if a test asked for one (see control.h).
std::optional<DWORD> injectedFailure(const char* call);

}  // namespace kstv::host::detail

// Host build, internal: the failure a test has injected into a platform call.
#pragma once

#include <optional>

#include "platform/win32.h"

namespace kstv::host::detail {

// The code the named call must fail with now, if a test asked for one (see control.h).
// Also runs the action a test set for the call (onCall), first, and counts the call.
// `call` is a string literal: the count is kept by its address.
std::optional<DWORD> injectedFailure(const char* call);
// Records the call if the calling thread is the one that reported its service STOPPED:
// after that report a service process may already be ending (see control.h).
void noteCallAfterFinalStop(const char* call);
// Runs the action a test set for a point that is not a call's start ("<call>:return").
void runCallAction(const char* point);

}  // namespace kstv::host::detail

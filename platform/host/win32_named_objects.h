// Host build: named kernel objects, as far as the system uses them: a mutex whose name
// tells whether another holder exists (it is never waited on).
#pragma once

#include "platform/host/win32_types.h"

// Makes the mutex `name` (null: an unnamed one) or opens it when it exists, which the last
// error then says (ERROR_ALREADY_EXISTS). "Global\" names are the machine's, shared by
// its processes; "Local\" names and names without a prefix are the session's (here,
// one for the machine); another backslash in the name is ERROR_PATH_NOT_FOUND. Names are
// case-sensitive. The object lasts until its last handle closes, in whichever process,
// also when a process ends without closing it. Ownership is not kept: an initial owner
// is refused (ERROR_NOT_SUPPORTED).
HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES security, BOOL initialOwner, LPCSTR name);

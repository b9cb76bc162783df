// Host build: named kernel objects, as far as the system uses them: a mutex or a section
// (a file mapping of the paging file) whose name tells whether another holder exists; a
// mutex is never waited on, a section never mapped.
#pragma once

#include "platform/host/win32_types.h"

#define PAGE_READONLY 0x02
#define PAGE_READWRITE 0x04

// Makes the mutex `name` (null: an unnamed one) or opens it when it exists, which the last
// error then says (ERROR_ALREADY_EXISTS); a name that another kind of object has is
// ERROR_INVALID_HANDLE. "Global\" names are the machine's, shared by
// its processes; "Local\" names and names without a prefix are the session's (here,
// one for the machine); another backslash in the name is ERROR_PATH_NOT_FOUND. Names are
// case-sensitive. The object lasts until its last handle closes, in whichever process,
// also when a process ends without closing it. Ownership is not kept: an initial owner
// is refused (ERROR_NOT_SUPPORTED).
HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES security, BOOL initialOwner, LPCSTR name);

// The same for a section of the paging file (`file` INVALID_HANDLE_VALUE; a size of 0, or
// a protection other than PAGE_READONLY or PAGE_READWRITE, is ERROR_INVALID_PARAMETER).
// Making one in the "Global\" namespace takes the right to make global objects
// (SeCreateGlobalPrivilege, which administrators and services hold): without it, as after
// host::refuseGlobalObjects, such a section is refused with ERROR_ACCESS_DENIED, also one
// that exists (the program's grant only administrators and the system). The security
// attributes are not read.
HANDLE WINAPI CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES security, DWORD protection,
                                 DWORD maximumSizeHigh, DWORD maximumSizeLow, LPCSTR name);

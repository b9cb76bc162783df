// Host build: message boxes, and the process's window station, which says whether a user
// can see them.
#pragma once

#include "platform/host/win32_types.h"

#define MB_OK 0x0UL
#define IDOK 1
// No window on the host: the caption and text go to standard error and to the record
// that the control API reads, and the box is "closed" with OK at once, except on a window
// station that no user sees (see below).
int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

// The process's window station: visible (a user's, as "WinSta0") unless the process was
// started with KSTV_NO_DESKTOP=1 (as a service or a package's deferred action is, in
// session 0) or a test said otherwise. There a box is never closed: it is recorded, and in
// a process started so it never returns, as on Windows.
KSTV_DECLARE_HANDLE(HWINSTA);
#define UOI_FLAGS 1
#define WSF_VISIBLE 0x0001L
struct USEROBJECTFLAGS {
  BOOL fInherit;
  BOOL fReserved;
  DWORD dwFlags;
};
typedef USEROBJECTFLAGS* PUSEROBJECTFLAGS;
// Not to be closed: the process's own.
HWINSTA WINAPI GetProcessWindowStation();
// UOI_FLAGS of the process's window station only; another index is an invalid parameter.
BOOL WINAPI GetUserObjectInformationA(HANDLE object, int index, PVOID info, DWORD length,
                                      LPDWORD lengthNeeded);

// Host build: message boxes.
#pragma once

#include "platform/host/win32_types.h"

#define MB_OK 0x0UL
#define IDOK 1
// No window on the host: the caption and text go to standard error and to the record
// that the control API reads, and the box is "closed" with OK at once.
int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

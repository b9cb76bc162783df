// Host build: waiting and the tick count.
#pragma once

#include "platform/host/win32_types.h"

void WINAPI Sleep(DWORD milliseconds);
DWORD WINAPI GetTickCount();

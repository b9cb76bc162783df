// Host build: closing a kernel handle (a file, a volume, a token, a thread).
#pragma once

#include "platform/host/win32_types.h"

BOOL WINAPI CloseHandle(HANDLE handle);

// Host build: a program's standard handles and its parent's console, as a GUI-subsystem
// program (KstvCardReader) meets them. Its standard handles are the process's Unix
// descriptors 0, 1 and 2 when they are a file, a pipe or another device, and null when
// they are a terminal: a GUI program started from a console gets none. The parent's
// console is that terminal (the first of descriptors 1, 2 and 0 that is one).
#pragma once

#include "platform/host/win32_types.h"

#define STD_INPUT_HANDLE (static_cast<DWORD>(-10))
#define STD_OUTPUT_HANDLE (static_cast<DWORD>(-11))
#define STD_ERROR_HANDLE (static_cast<DWORD>(-12))
// The handle, null when the process has none, or INVALID_HANDLE_VALUE with
// ERROR_INVALID_HANDLE for another number. Once the process is attached to a console, a
// standard handle that was null is the console's.
HANDLE WINAPI GetStdHandle(DWORD standardHandle);

#define FILE_TYPE_UNKNOWN 0x0000UL
#define FILE_TYPE_DISK 0x0001UL
#define FILE_TYPE_CHAR 0x0002UL
#define FILE_TYPE_PIPE 0x0003UL
// DISK for a file or a volume, CHAR for a terminal or another character device, PIPE for a
// pipe or a socket. FILE_TYPE_UNKNOWN with NO_ERROR for a handle of another kind, with
// ERROR_INVALID_HANDLE for what is no handle.
DWORD WINAPI GetFileType(HANDLE file);

#define ATTACH_PARENT_PROCESS (static_cast<DWORD>(-1))
// As documented: ERROR_ACCESS_DENIED when the process is attached already,
// ERROR_INVALID_HANDLE when the parent has no console. No other process is known here:
// any other id is ERROR_INVALID_PARAMETER, as for a process that does not exist.
BOOL WINAPI AttachConsole(DWORD processId);
// Succeeds also when the process is attached to no console.
BOOL WINAPI FreeConsole();
// Writes UTF-16 text to a console handle (CreateFileA of "CONOUT$", or a standard handle
// of the console), in the terminal's UTF-8; any other handle is ERROR_INVALID_HANDLE.
BOOL WINAPI WriteConsoleW(HANDLE console, const void* buffer, DWORD charactersToWrite,
                          LPDWORD charactersWritten, LPVOID reserved);

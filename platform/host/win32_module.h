// Host build: the program's own module, its command line and its resources.
#pragma once

#include "platform/host/win32_types.h"

#define SW_SHOWDEFAULT 10
#define RT_STRING MAKEINTRESOURCEA(6)
#define RT_MANIFEST MAKEINTRESOURCEA(24)

LPSTR WINAPI GetCommandLineA();
HMODULE WINAPI GetModuleHandleA(LPCSTR moduleName);
DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size);
DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size);
int WINAPI LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int bufferMax);
HRSRC WINAPI FindResourceA(HMODULE module, LPCSTR name, LPCSTR type);
HGLOBAL WINAPI LoadResource(HMODULE module, HRSRC resource);
LPVOID WINAPI LockResource(HGLOBAL data);
DWORD WINAPI SizeofResource(HMODULE module, HRSRC resource);

// The program's entry, called by the host start-up code (platform/host/host_main.cpp).
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show);

#define LOAD_LIBRARY_AS_DATAFILE 0x2UL

// Only the program's own file loads, as data; its resources are the embedded ones.
HMODULE WINAPI LoadLibraryExA(LPCSTR fileName, HANDLE reserved, DWORD flags);
BOOL WINAPI FreeLibrary(HMODULE module);

// Other libraries: only "oleaut32.dll" loads, and only its UnRegisterTypeLib resolves.
typedef LONG_PTR(WINAPI* FARPROC)();
HMODULE WINAPI LoadLibraryA(LPCSTR fileName);
FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName);

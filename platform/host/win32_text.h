// Host build: ANSI code page handling. The active ANSI code page is 1252 unless a test
// switches to the double-byte code page 932 (see control.h).
#pragma once

#include "platform/host/win32_types.h"

#define CP_ACP 0U
#define CP_UTF8 65001U
#define MB_PRECOMPOSED 0x1UL
#define MB_ERR_INVALID_CHARS 0x8UL
#define WC_NO_BEST_FIT_CHARS 0x400UL

UINT WINAPI GetACP();
BOOL WINAPI IsDBCSLeadByte(BYTE testChar);
LPSTR WINAPI CharNextA(LPCSTR current);
int WINAPI lstrcmpiA(LPCSTR first, LPCSTR second);
int WINAPI lstrlenA(LPCSTR text);
int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int byteCount, LPWSTR wide,
                               int wideCount);
int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideCount, LPSTR text,
                               int byteCount, LPCSTR defaultChar, LPBOOL usedDefaultChar);

// Host build: ANSI code page handling. The active ANSI code page is 1252 unless a test
// switches to the double-byte code page 932 (see control.h).
#pragma once

#include "platform/host/win32_types.h"

#define CP_ACP 0U
#define CP_UTF8 65001U
#define MB_PRECOMPOSED 0x1UL
#define MB_ERR_INVALID_CHARS 0x8UL
#define WC_NO_BEST_FIT_CHARS 0x400UL
// UTF-8 only: an unpaired surrogate fails the conversion (ERROR_NO_UNICODE_TRANSLATION).
#define WC_ERR_INVALID_CHARS 0x80UL

UINT WINAPI GetACP();
BOOL WINAPI IsDBCSLeadByte(BYTE testChar);
LPSTR WINAPI CharNextA(LPCSTR current);
int WINAPI lstrcmpiA(LPCSTR first, LPCSTR second);
int WINAPI lstrlenA(LPCSTR text);
// Compares two UTF-16 strings unit by unit, after upper-casing each when asked, as the
// file system compares names (no linguistic weights: "ß" is not "ss"). A count of -1
// reads to the NUL. CSTR_LESS_THAN, CSTR_EQUAL or CSTR_GREATER_THAN; 0 with
// ERROR_INVALID_PARAMETER for a null string or a negative count other than -1.
#define CSTR_LESS_THAN 1
#define CSTR_EQUAL 2
#define CSTR_GREATER_THAN 3
int WINAPI CompareStringOrdinal(LPCWSTR first, int firstCount, LPCWSTR second, int secondCount,
                                BOOL ignoreCase);
int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int byteCount, LPWSTR wide,
                               int wideCount);
int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideCount, LPSTR text,
                               int byteCount, LPCSTR defaultChar, LPBOOL usedDefaultChar);

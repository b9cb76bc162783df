// Host build: the Win32 base types, with the sizes and signedness Windows gives them.
#pragma once

#include <cstddef>
#include <cstdint>

#define WINAPI
#define APIENTRY
#define CALLBACK

typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef unsigned short USHORT;
typedef std::uint32_t DWORD;
typedef std::int32_t LONG;
typedef std::uint32_t ULONG;
typedef int INT;
typedef unsigned int UINT;
typedef char CHAR;
typedef char16_t WCHAR;
typedef WCHAR OLECHAR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;
typedef std::size_t SIZE_T;
typedef std::uintptr_t ULONG_PTR;
typedef std::intptr_t LONG_PTR;
typedef std::uintptr_t UINT_PTR;
typedef LONG HRESULT;
typedef LONG LSTATUS;

typedef void* LPVOID;
typedef const void* LPCVOID;
typedef void* PVOID;
typedef CHAR* LPSTR;
typedef const CHAR* LPCSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef BYTE* LPBYTE;
typedef const BYTE* LPCBYTE;
typedef DWORD* LPDWORD;
typedef DWORD* PDWORD;
typedef LONG* PLONG;
typedef BOOL* LPBOOL;

// Handles are opaque pointers, distinct types as with STRICT.
#define KSTV_DECLARE_HANDLE(name) \
  struct name##__;                \
  typedef struct name##__* name
typedef void* HANDLE;
KSTV_DECLARE_HANDLE(HKEY);
KSTV_DECLARE_HANDLE(HINSTANCE);
KSTV_DECLARE_HANDLE(HRSRC);
typedef HKEY* PHKEY;
// Shared by several areas: the window handle of message queues and boxes, the SID of
// event reports and tokens, the overlapped structure of file and device calls, the
// handle of local memory, the locale of conversions.
KSTV_DECLARE_HANDLE(HWND);
typedef void* PSID;
struct OVERLAPPED;
typedef OVERLAPPED* LPOVERLAPPED;
typedef HANDLE HLOCAL;
typedef DWORD LCID;  // a locale
typedef HINSTANCE HMODULE;
typedef HANDLE HGLOBAL;

typedef DWORD ACCESS_MASK;
typedef ACCESS_MASK REGSAM;

#define GENERIC_READ 0x80000000UL
#define GENERIC_WRITE 0x40000000UL
#define GENERIC_EXECUTE 0x20000000UL
#define GENERIC_ALL 0x10000000UL

#define TRUE 1
#define FALSE 0
#define MAX_PATH 260

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)))

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};
typedef FILETIME* PFILETIME;

struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
};
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

// C-style casts, as in Windows' own headers: these take integers and pointers alike.
#define LOWORD(value) ((WORD)((ULONG_PTR)(value)&0xFFFF))
#define HIWORD(value) ((WORD)(((ULONG_PTR)(value) >> 16) & 0xFFFF))

// Resource names and types: an integer id stands in the low word of a pointer.
#define IS_INTRESOURCE(name) ((((ULONG_PTR)(name)) >> 16) == 0)
#define MAKEINTRESOURCEA(id) \
  (reinterpret_cast<LPSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(id))))

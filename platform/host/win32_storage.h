// Host build: files and volumes as the card probe opens them, the storage property
// query, local memory, and the logical drive listing.
#pragma once

#include "platform/host/win32_types.h"

typedef HANDLE HLOCAL;
struct OVERLAPPED;
typedef OVERLAPPED* LPOVERLAPPED;

#define FILE_SHARE_READ 0x1UL
#define FILE_SHARE_WRITE 0x2UL
#define FILE_SHARE_DELETE 0x4UL
#define CREATE_NEW 1UL
#define CREATE_ALWAYS 2UL
#define OPEN_EXISTING 3UL
#define OPEN_ALWAYS 4UL
#define TRUNCATE_EXISTING 5UL
#define FILE_ATTRIBUTE_NORMAL 0x80UL

#define LMEM_FIXED 0x0UL
#define LMEM_ZEROINIT 0x40UL
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

#define DRIVE_UNKNOWN 0U
#define DRIVE_NO_ROOT_DIR 1U
#define DRIVE_REMOVABLE 2U
#define DRIVE_FIXED 3U
#define DRIVE_REMOTE 4U
#define DRIVE_CDROM 5U
#define DRIVE_RAMDISK 6U

#define IOCTL_STORAGE_QUERY_PROPERTY 0x002D1400UL

enum STORAGE_PROPERTY_ID { StorageDeviceProperty = 0, StorageAdapterProperty = 1 };
enum STORAGE_QUERY_TYPE { PropertyStandardQuery = 0, PropertyExistsQuery = 1 };
enum STORAGE_BUS_TYPE { BusTypeUnknown = 0, BusTypeUsb = 7, BusTypeSd = 12, BusTypeMmc = 13 };

struct STORAGE_PROPERTY_QUERY {
  STORAGE_PROPERTY_ID PropertyId;
  STORAGE_QUERY_TYPE QueryType;
  BYTE AdditionalParameters[1];
};

struct STORAGE_DESCRIPTOR_HEADER {
  DWORD Version;
  DWORD Size;
};

struct STORAGE_DEVICE_DESCRIPTOR {
  DWORD Version;
  DWORD Size;
  BYTE DeviceType;
  BYTE DeviceTypeModifier;
  BYTE RemovableMedia;
  BYTE CommandQueueing;
  DWORD VendorIdOffset;
  DWORD ProductIdOffset;
  DWORD ProductRevisionOffset;
  DWORD SerialNumberOffset;
  STORAGE_BUS_TYPE BusType;
  DWORD RawPropertiesLength;
  BYTE RawDeviceProperties[1];
};

HANDLE WINAPI CreateFileA(LPCSTR fileName, DWORD access, DWORD shareMode,
                          LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                          DWORD flagsAndAttributes, HANDLE templateFile);
BOOL WINAPI CloseHandle(HANDLE handle);
BOOL WINAPI DeviceIoControl(HANDLE device, DWORD controlCode, LPVOID inBuffer, DWORD inSize,
                            LPVOID outBuffer, DWORD outSize, LPDWORD bytesReturned,
                            LPOVERLAPPED overlapped);

HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes);
HLOCAL WINAPI LocalFree(HLOCAL memory);

DWORD WINAPI GetLogicalDriveStringsW(DWORD bufferLength, LPWSTR buffer);
UINT WINAPI GetDriveTypeW(LPCWSTR rootPathName);

// The process heap: the plain heap of the system's buffers.
HANDLE WINAPI GetProcessHeap();
LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
LPVOID WINAPI HeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T bytes);
BOOL WINAPI HeapFree(HANDLE heap, DWORD flags, LPVOID block);
#define HEAP_ZERO_MEMORY 0x8UL

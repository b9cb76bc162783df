// Host build: volumes as the card probe queries them (the storage property query) and
// the logical drive listing.
#pragma once

#include "platform/host/win32_types.h"

#define DRIVE_UNKNOWN 0U
#define DRIVE_NO_ROOT_DIR 1U
#define DRIVE_REMOVABLE 2U
#define DRIVE_FIXED 3U
#define DRIVE_REMOTE 4U
#define DRIVE_CDROM 5U
#define DRIVE_RAMDISK 6U

#define IOCTL_STORAGE_QUERY_PROPERTY 0x002D1400UL
// Whether the device holds a medium (ERROR_NOT_READY when it does not): the first asks
// for a handle with read access, the second for none.
#define IOCTL_STORAGE_CHECK_VERIFY 0x002D4800UL
#define IOCTL_STORAGE_CHECK_VERIFY2 0x002D0800UL

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

BOOL WINAPI DeviceIoControl(HANDLE device, DWORD controlCode, LPVOID inBuffer, DWORD inSize,
                            LPVOID outBuffer, DWORD outSize, LPDWORD bytesReturned,
                            LPOVERLAPPED overlapped);

DWORD WINAPI GetLogicalDriveStringsW(DWORD bufferLength, LPWSTR buffer);
UINT WINAPI GetDriveTypeW(LPCWSTR rootPathName);

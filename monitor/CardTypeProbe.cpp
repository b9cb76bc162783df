#include "monitor/CardTypeProbe.h"

#include <cstddef>
#include <cstring>
#include <string>

#include "monitor/DriveId.h"
#include "platform/handles.h"

namespace kstv {
namespace {

constexpr char kReaderVendorId[] = "Kestrova";

constexpr struct {
  const char* prefix;
  CardType type;
} kProductPrefixes[] = {
    {"SD", CardType::SD},
    {"MMC", CardType::MMC},
    {"xD", CardType::XD},
    {"MS", CardType::MS},
};

constexpr std::size_t kDevicePathCapacity = 32;
constexpr char kDevicePathPrefix[] = "\\\\.\\";
// The storage queries need no access rights. An open for reading or writing would have
// Windows mount the volume's file system first, retrying a failing card for a long time.
constexpr DWORD kNoAccess = 0;
// Should the path name a pipe after all, its server may only identify the caller, never
// act as the system account.
constexpr DWORD kVolumeOpenFlags = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
constexpr DWORD kAbsentOffset = 0xFFFFFFFF;
// The descriptor must reach past ProductIdOffset for both offsets to be read.
constexpr DWORD kOffsetsEnd = offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductIdOffset) + sizeof(DWORD);
// No real device reports a descriptor anywhere near this; a larger Size is refused
// before anything is allocated for it.
constexpr DWORD kLargestDescriptor = 64 * 1024;

// A query that fails with one of these still counts as answered (with nothing).
bool IsToleratedQueryError(DWORD error) {
  return error == ERROR_MORE_DATA || error == ERROR_INVALID_FUNCTION ||
         error == ERROR_NOT_SUPPORTED;
}

// "\\.\E:" for the drive id "E:"; false for anything that is not a drive id.
bool FormatDevicePath(const WCHAR* driveId, char (&path)[kDevicePathCapacity]) {
  if (!IsDriveId(driveId)) return false;
  std::memcpy(path, kDevicePathPrefix, sizeof kDevicePathPrefix - 1);
  char* id = path + sizeof kDevicePathPrefix - 1;
  id[0] = static_cast<char>(driveId[0]);
  id[1] = ':';
  id[2] = '\0';
  return true;
}

// False only when the device says it holds no medium: an empty slot of the reader still
// reports the reader's descriptor. A device that cannot tell (one without removable
// media may not support the check) is taken to hold one.
bool HoldsMedium(HANDLE volume) {
  DWORD returned = 0;
  if (DeviceIoControl(volume, IOCTL_STORAGE_CHECK_VERIFY2, nullptr, 0, nullptr, 0, &returned,
                      nullptr))
    return true;
  return GetLastError() != ERROR_NOT_READY;
}

// Asks the storage stack for the device descriptor, or as much of it as `size` holds.
// False only for a failure that is not tolerated; a tolerated one leaves `out` zeroed.
bool QueryDeviceDescriptor(HANDLE volume, void* out, DWORD size) {
  STORAGE_PROPERTY_QUERY query;
  std::memset(&query, 0, sizeof query);
  query.PropertyId = StorageDeviceProperty;
  query.QueryType = PropertyStandardQuery;
  std::memset(out, 0, size);
  DWORD returned = 0;
  if (DeviceIoControl(volume, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, out, size,
                      &returned, nullptr))
    return true;
  if (!IsToleratedQueryError(GetLastError())) return false;
  std::memset(out, 0, size);
  return true;
}

// The string at `offset` in a descriptor of `size` bytes; empty when absent, or when the
// offset or the string's terminator lies outside the descriptor.
const char* DescriptorString(const BYTE* descriptor, DWORD size, DWORD offset) {
  if (offset == 0 || offset == kAbsentOffset || offset >= size) return "";
  const void* end = std::memchr(descriptor + offset, '\0', size - offset);
  return end ? reinterpret_cast<const char*>(descriptor + offset) : "";
}

CardType Classify(const std::string& vendorId, const std::string& productId) {
  if (vendorId != kReaderVendorId) return CardType::None;
  for (const auto& candidate : kProductPrefixes) {
    if (productId.compare(0, std::strlen(candidate.prefix), candidate.prefix) == 0)
      return candidate.type;
  }
  return CardType::None;
}

// The descriptor could not be read: the code, never 0.
DriveIdentity Unread(DriveIdentity& identity, DWORD error) {
  identity.error = error != ERROR_SUCCESS ? error : static_cast<DWORD>(ERROR_GEN_FAILURE);
  return identity;
}

void CopyId(char (&id)[kDeviceIdCapacity], const char* text) {
  std::strncpy(id, text, kDeviceIdCapacity - 1);
  id[kDeviceIdCapacity - 1] = '\0';
}

}  // namespace

CardType ProbeCardType(const WCHAR* driveId) { return ProbeDriveIdentity(driveId).cardType; }

DriveIdentity ProbeDriveIdentity(const WCHAR* driveId) {
  DriveIdentity identity;
  char path[kDevicePathCapacity];
  if (!FormatDevicePath(driveId, path)) return Unread(identity, ERROR_INVALID_NAME);

  UniqueFileHandle volume(CreateFileA(path, kNoAccess, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, kVolumeOpenFlags, nullptr));
  if (!volume) return Unread(identity, GetLastError());
  // An empty slot still reports the reader's descriptor, but holds no card.
  if (!HoldsMedium(volume.get())) {
    identity.holdsMedium = false;
    return identity;
  }

  STORAGE_DESCRIPTOR_HEADER header;
  if (!QueryDeviceDescriptor(volume.get(), &header, sizeof header))
    return Unread(identity, GetLastError());
  if (header.Size == 0) return identity;  // the device has no descriptor to give
  // A device may report any Size: one too small to hold the fields read below, or an
  // implausibly large one, is no answer.
  if (header.Size < kOffsetsEnd || header.Size > kLargestDescriptor)
    return Unread(identity, ERROR_INVALID_DATA);

  UniqueLocalMemory buffer(LocalAlloc(LMEM_ZEROINIT, header.Size));
  if (!buffer) return Unread(identity, ERROR_NOT_ENOUGH_MEMORY);
  if (!QueryDeviceDescriptor(volume.get(), buffer.get(), header.Size))
    return Unread(identity, GetLastError());

  const auto* descriptor = static_cast<const BYTE*>(buffer.get());
  DWORD size = header.Size;
  DWORD reportedSize;
  std::memcpy(&reportedSize, descriptor + offsetof(STORAGE_DEVICE_DESCRIPTOR, Size),
              sizeof reportedSize);
  // The descriptor's own Size bounds the ids too, whatever it says (0: none of them).
  if (reportedSize < size) size = reportedSize;
  if (size < kOffsetsEnd) return identity;

  DWORD vendorOffset, productOffset;
  std::memcpy(&vendorOffset, descriptor + offsetof(STORAGE_DEVICE_DESCRIPTOR, VendorIdOffset),
              sizeof(DWORD));
  std::memcpy(&productOffset, descriptor + offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductIdOffset),
              sizeof(DWORD));
  const char* vendorId = DescriptorString(descriptor, size, vendorOffset);
  const char* productId = DescriptorString(descriptor, size, productOffset);
  CopyId(identity.vendorId, vendorId);
  CopyId(identity.productId, productId);
  identity.cardType = Classify(vendorId, productId);
  return identity;
}

}  // namespace kstv

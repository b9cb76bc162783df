#include "monitor/CardTypeProbe.h"

#include <cstddef>
#include <cstring>

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

CardType Classify(const char* vendorId, const char* productId) {
  if (std::strcmp(vendorId, kReaderVendorId) != 0) return CardType::None;
  for (const auto& candidate : kProductPrefixes) {
    if (std::strncmp(productId, candidate.prefix, std::strlen(candidate.prefix)) == 0)
      return candidate.type;
  }
  return CardType::None;
}

}  // namespace

CardType ProbeCardType(const WCHAR* driveId) {
  char path[kDevicePathCapacity];
  if (!FormatDevicePath(driveId, path)) return CardType::None;

  UniqueFileHandle volume(CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      kVolumeOpenFlags, nullptr));
  if (!volume) return CardType::None;

  STORAGE_DESCRIPTOR_HEADER header;
  if (!QueryDeviceDescriptor(volume.get(), &header, sizeof header)) return CardType::None;
  // A device may report any Size: one too small to hold the fields read below, or an
  // implausibly large one, is no answer.
  if (header.Size < kOffsetsEnd || header.Size > kLargestDescriptor) return CardType::None;

  UniqueLocalMemory buffer(LocalAlloc(LMEM_ZEROINIT, header.Size));
  if (!buffer) return CardType::None;
  if (!QueryDeviceDescriptor(volume.get(), buffer.get(), header.Size)) return CardType::None;

  const auto* descriptor = static_cast<const BYTE*>(buffer.get());
  DWORD size = header.Size;
  DWORD reportedSize;
  std::memcpy(&reportedSize, descriptor + offsetof(STORAGE_DEVICE_DESCRIPTOR, Size),
              sizeof reportedSize);
  // The descriptor's own Size bounds the ids too, whatever it says (0: none of them).
  if (reportedSize < size) size = reportedSize;
  if (size < kOffsetsEnd) return CardType::None;

  DWORD vendorOffset, productOffset;
  std::memcpy(&vendorOffset, descriptor + offsetof(STORAGE_DEVICE_DESCRIPTOR, VendorIdOffset),
              sizeof(DWORD));
  std::memcpy(&productOffset, descriptor + offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductIdOffset),
              sizeof(DWORD));
  return Classify(DescriptorString(descriptor, size, vendorOffset),
                  DescriptorString(descriptor, size, productOffset));
}

}  // namespace kstv

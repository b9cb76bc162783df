// Volumes on the emulated machine: the table, the drive listing and drive types, and the
// storage property query on an opened volume.
#include "platform/host/detail/volumes.h"

#include <cctype>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "platform/host/detail/chaos.h"
#include "platform/host/detail/failures.h"
#include "platform/host/detail/kernel_handles.h"
#include "platform/host/detail/machine_database.h"

namespace kstv::host {
namespace detail {
namespace {

// A machine starts with its system disk: fixed, and with no vendor in its descriptor.
constexpr const char* kSchema =
    "CREATE TABLE volumes("
    " letter TEXT PRIMARY KEY, drive_type INTEGER NOT NULL, vendor TEXT, product TEXT,"
    " open_error INTEGER NOT NULL, header_error INTEGER NOT NULL,"
    " descriptor_error INTEGER NOT NULL,"
    " vendor_offset INTEGER, product_offset INTEGER, descriptor_size INTEGER,"
    " header_answer BLOB, descriptor_answer BLOB);"
    "INSERT INTO volumes VALUES('C', 3, NULL, 'Emulated Disk', 0, 0, 0, NULL, NULL, NULL,"
    " NULL, NULL);";
// Added later: a machine made before has them added, its volumes keeping their media.
constexpr const char* kMediumColumns =
    "ALTER TABLE volumes ADD COLUMN no_medium INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE volumes ADD COLUMN answer_milliseconds INTEGER NOT NULL DEFAULT 0;";

void ensureSchema() {
  static std::once_flag created;
  std::call_once(created, [] {
    MachineCall call(true);
    SqliteStatement exists(call.db(),
                           "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'volumes'");
    if (!exists.step()) execute(call.db(), kSchema);
    SqliteStatement medium(call.db(),
                           "SELECT 1 FROM pragma_table_info('volumes') WHERE name = 'no_medium'");
    if (!medium.step()) execute(call.db(), kMediumColumns);
    call.commit();
  });
}

char normalized(char letter) {
  return static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
}

std::optional<std::string> optionalText(SqliteStatement& row, int column) {
  if (row.isNull(column)) return std::nullopt;
  return row.text(column);
}

std::optional<DWORD> optionalNumber(SqliteStatement& row, int column) {
  if (row.isNull(column)) return std::nullopt;
  return static_cast<DWORD>(row.integer(column));
}

std::optional<std::string> optionalBytes(SqliteStatement& row, int column) {
  if (row.isNull(column)) return std::nullopt;
  std::vector<unsigned char> bytes = row.blob(column);
  return std::string(bytes.begin(), bytes.end());
}

void bindOptionalBytes(SqliteStatement& statement, const std::optional<std::string>& bytes) {
  if (bytes)
    statement.bindBlob(bytes->data(), bytes->size());
  else
    statement.bindOptional(std::optional<std::int64_t>());
}

}  // namespace

std::optional<Volume> findVolume(char letter) {
  ensureSchema();
  MachineCall call(false);
  SqliteStatement row(call.db(),
                      "SELECT letter, drive_type, vendor, product, open_error, header_error,"
                      " descriptor_error, vendor_offset, product_offset, descriptor_size,"
                      " header_answer, descriptor_answer, no_medium, answer_milliseconds"
                      " FROM volumes WHERE letter = ?");
  if (!row.bind(std::string(1, normalized(letter))).step()) return std::nullopt;
  Volume volume;
  volume.letter = row.text(0)[0];
  volume.driveType = static_cast<UINT>(row.integer(1));
  volume.vendor = optionalText(row, 2);
  volume.product = optionalText(row, 3);
  volume.openError = static_cast<DWORD>(row.integer(4));
  volume.headerError = static_cast<DWORD>(row.integer(5));
  volume.descriptorError = static_cast<DWORD>(row.integer(6));
  volume.vendorIdOffset = optionalNumber(row, 7);
  volume.productIdOffset = optionalNumber(row, 8);
  volume.descriptorSize = optionalNumber(row, 9);
  volume.headerAnswer = optionalBytes(row, 10);
  volume.descriptorAnswer = optionalBytes(row, 11);
  volume.noMedium = row.integer(12) != 0;
  volume.answerMilliseconds = static_cast<DWORD>(row.integer(13));
  return volume;
}

std::vector<char> volumeLetters() {
  ensureSchema();
  MachineCall call(false);
  SqliteStatement rows(call.db(), "SELECT letter FROM volumes ORDER BY letter");
  std::vector<char> letters;
  while (rows.step()) letters.push_back(rows.text(0)[0]);
  return letters;
}

}  // namespace detail

void addVolume(const Volume& volume) {
  detail::ensureSchema();
  detail::MachineCall call(true);
  detail::SqliteStatement insert(
      call.db(),
      "INSERT OR REPLACE INTO volumes(letter, drive_type, vendor, product, open_error,"
      " header_error, descriptor_error, vendor_offset, product_offset, descriptor_size,"
      " header_answer, descriptor_answer, no_medium, answer_milliseconds)"
      " VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  insert.bind(std::string(1, detail::normalized(volume.letter)));
  insert.bind(static_cast<std::int64_t>(volume.driveType));
  insert.bindOptional(volume.vendor).bindOptional(volume.product);
  insert.bind(static_cast<std::int64_t>(volume.openError));
  insert.bind(static_cast<std::int64_t>(volume.headerError));
  insert.bind(static_cast<std::int64_t>(volume.descriptorError));
  insert.bindOptional(volume.vendorIdOffset).bindOptional(volume.productIdOffset);
  insert.bindOptional(volume.descriptorSize);
  detail::bindOptionalBytes(insert, volume.headerAnswer);
  detail::bindOptionalBytes(insert, volume.descriptorAnswer);
  insert.bind(static_cast<std::int64_t>(volume.noMedium));
  insert.bind(static_cast<std::int64_t>(volume.answerMilliseconds));
  insert.step();
  call.commit();
}

bool removeVolume(char letter) {
  detail::ensureSchema();
  detail::MachineCall call(true);
  detail::SqliteStatement remove(call.db(), "DELETE FROM volumes WHERE letter = ?");
  remove.bind(std::string(1, detail::normalized(letter))).step();
  bool removed = sqlite3_changes(call.db()) != 0;
  call.commit();
  return removed;
}

std::vector<Volume> volumes() {
  std::vector<Volume> all;
  for (char letter : detail::volumeLetters())
    if (auto volume = detail::findVolume(letter)) all.push_back(*volume);
  return all;
}

namespace {

// An opened volume, as CreateFileA on \\.\X: gives it.
struct VolumeHandle : detail::KernelObject {
  VolumeHandle(char volumeLetter, DWORD grantedAccess)
      : letter(volumeLetter), access(grantedAccess) {}
  char letter;
  DWORD access;
};

// Rights that only a mounted file system serves: opening a volume for them mounts it,
// which reads the medium. Attributes and synchronisation are the device's own.
constexpr DWORD kMountingAccess = ~static_cast<DWORD>(FILE_READ_ATTRIBUTES | SYNCHRONIZE);
// The rights IOCTL_STORAGE_CHECK_VERIFY asks of a handle (FILE_READ_ACCESS in its code).
constexpr DWORD kReadAccess = GENERIC_READ | FILE_READ_DATA;

// A slow device (a failing card) takes this long for each answer.
void answerDelay(const Volume& volume) {
  if (volume.answerMilliseconds)
    std::this_thread::sleep_for(std::chrono::milliseconds(volume.answerMilliseconds));
}

constexpr DWORD kDescriptorFixedSize = sizeof(STORAGE_DEVICE_DESCRIPTOR);

void appendString(std::string& bytes, const std::optional<std::string>& text, DWORD& offset) {
  if (!text) {
    offset = 0;
    return;
  }
  offset = static_cast<DWORD>(bytes.size());
  bytes += *text;
  bytes.push_back('\0');
}

// The descriptor the storage stack reports for a volume, with any faults the volume has
// been given: other offsets, or another Size.
std::string deviceDescriptor(const Volume& volume) {
  std::string bytes(kDescriptorFixedSize, '\0');
  STORAGE_DEVICE_DESCRIPTOR fields{};
  fields.Version = kDescriptorFixedSize;
  fields.DeviceType = 0;  // a direct-access device
  fields.RemovableMedia = volume.driveType == DRIVE_REMOVABLE;
  fields.BusType = BusTypeUsb;
  appendString(bytes, volume.vendor, fields.VendorIdOffset);
  appendString(bytes, volume.product, fields.ProductIdOffset);
  appendString(bytes, std::string("1.00"), fields.ProductRevisionOffset);
  fields.SerialNumberOffset = 0xFFFFFFFF;
  fields.Size = static_cast<DWORD>(bytes.size());
  if (volume.vendorIdOffset) fields.VendorIdOffset = *volume.vendorIdOffset;
  if (volume.productIdOffset) fields.ProductIdOffset = *volume.productIdOffset;
  if (volume.descriptorSize) {
    fields.Size = *volume.descriptorSize;
    if (bytes.size() < fields.Size) bytes.resize(fields.Size, '\0');
  }
  std::memcpy(bytes.data(), &fields, offsetof(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties));
  return bytes;
}

// "\\.\X:" names the volume of drive X.
std::optional<char> volumePathLetter(LPCSTR name) {
  if (std::strlen(name) != 6 || std::strncmp(name, "\\\\.\\", 4) != 0 || name[5] != ':' ||
      !std::isalpha(static_cast<unsigned char>(name[4])))
    return std::nullopt;
  return name[4];
}

}  // namespace

namespace detail {

bool isDevicePath(LPCSTR name) { return std::strncmp(name, "\\\\.\\", 4) == 0; }

bool isVolumePath(LPCSTR name) { return volumePathLetter(name).has_value(); }

bool isVolumeHandle(HANDLE handle) {
  return KernelHandles::instance().find<VolumeHandle>(handle) != nullptr;
}

HANDLE openVolume(LPCSTR name, DWORD access, DWORD shareMode, DWORD disposition) {
  auto letter = volumePathLetter(name);
  if (!letter || disposition != OPEN_EXISTING) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  if ((shareMode & (FILE_SHARE_READ | FILE_SHARE_WRITE)) != (FILE_SHARE_READ | FILE_SHARE_WRITE)) {
    SetLastError(ERROR_SHARING_VIOLATION);
    return INVALID_HANDLE_VALUE;
  }
  auto volume = findVolume(*letter);
  if (!volume) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (volume->openError) {
    SetLastError(volume->openError);
    return INVALID_HANDLE_VALUE;
  }
  if (access & kMountingAccess) {
    answerDelay(*volume);
    if (volume->noMedium) {  // nothing to mount
      SetLastError(ERROR_NOT_READY);
      return INVALID_HANDLE_VALUE;
    }
  }
  return KernelHandles::instance().add(std::make_shared<VolumeHandle>(volume->letter, access));
}

}  // namespace detail
}  // namespace kstv::host

using kstv::host::detail::injectedFailure;

BOOL WINAPI DeviceIoControl(HANDLE device, DWORD controlCode, LPVOID inBuffer, DWORD inSize,
                            LPVOID outBuffer, DWORD outSize, LPDWORD bytesReturned, LPOVERLAPPED) {
  auto fail = [](DWORD code) {
    SetLastError(code);
    return FALSE;
  };
  if (auto code = injectedFailure("DeviceIoControl")) return fail(*code);
  auto handle =
      kstv::host::detail::KernelHandles::instance().find<kstv::host::VolumeHandle>(device);
  if (!handle) return fail(ERROR_INVALID_HANDLE);
  const bool checkVerify = controlCode == IOCTL_STORAGE_CHECK_VERIFY;
  if (checkVerify && !(handle->access & kstv::host::kReadAccess)) return fail(ERROR_ACCESS_DENIED);
  if (!checkVerify && controlCode != IOCTL_STORAGE_CHECK_VERIFY2 &&
      controlCode != IOCTL_STORAGE_QUERY_PROPERTY)
    return fail(ERROR_INVALID_FUNCTION);
  STORAGE_PROPERTY_QUERY query{};
  if (controlCode == IOCTL_STORAGE_QUERY_PROPERTY) {
    if (!inBuffer || inSize < sizeof(STORAGE_PROPERTY_QUERY)) return fail(ERROR_INVALID_PARAMETER);
    std::memcpy(&query, inBuffer, sizeof query);
    if (query.PropertyId != StorageDeviceProperty || query.QueryType != PropertyStandardQuery)
      return fail(ERROR_NOT_SUPPORTED);
  }
  // A slow device, when the machine is unkind: the medium may go meanwhile.
  if (auto delay = kstv::host::detail::chaosDelay(std::chrono::milliseconds(200)))
    std::this_thread::sleep_for(*delay);
  auto volume = kstv::host::detail::findVolume(handle->letter);
  if (!volume) return fail(ERROR_NOT_READY);  // the medium has gone
  kstv::host::answerDelay(*volume);
  // The reader answers for an empty slot too: only the medium check tells.
  if (controlCode != IOCTL_STORAGE_QUERY_PROPERTY) {
    if (volume->noMedium) return fail(ERROR_NOT_READY);
    if (bytesReturned) *bytesReturned = 0;
    return TRUE;
  }
  // A buffer for the header alone is the first of the two calls a caller makes.
  bool headerOnly = outSize <= sizeof(STORAGE_DESCRIPTOR_HEADER);
  if (headerOnly && volume->headerError) return fail(volume->headerError);
  if (!headerOnly && volume->descriptorError) return fail(volume->descriptorError);
  if (!outBuffer || outSize < sizeof(STORAGE_DESCRIPTOR_HEADER))
    return fail(ERROR_INSUFFICIENT_BUFFER);
  const auto& answer = headerOnly ? volume->headerAnswer : volume->descriptorAnswer;
  std::string descriptor = answer ? *answer : kstv::host::deviceDescriptor(*volume);
  DWORD copied = std::min<DWORD>(outSize, static_cast<DWORD>(descriptor.size()));
  std::memcpy(outBuffer, descriptor.data(), copied);
  if (bytesReturned) *bytesReturned = copied;
  return TRUE;
}

DWORD WINAPI GetLogicalDriveStringsW(DWORD bufferLength, LPWSTR buffer) {
  std::u16string list;
  for (char letter : kstv::host::detail::volumeLetters()) {
    list += static_cast<char16_t>(letter);
    list += u":\\";
    list += u'\0';
  }
  auto needed = static_cast<DWORD>(list.size() + 1);
  // A failed call promises nothing about the buffer: an injected failure leaves the
  // listing in it, so that only a caller that looks at the result is safe.
  bool fits = bufferLength >= needed && buffer;
  if (fits) {
    std::memcpy(buffer, list.data(), list.size() * sizeof(WCHAR));
    buffer[list.size()] = u'\0';
  }
  if (auto code = injectedFailure("GetLogicalDriveStringsW")) {
    SetLastError(*code);
    return 0;
  }
  if (!fits) return needed;  // the size needed, nothing written
  return static_cast<DWORD>(list.size());
}

UINT WINAPI GetDriveTypeW(LPCWSTR rootPathName) {
  char16_t letter = rootPathName ? rootPathName[0] : u'C';
  if (letter > 0x7F || !std::isalpha(static_cast<int>(letter)) ||
      (rootPathName && rootPathName[1] != u':'))
    return DRIVE_NO_ROOT_DIR;
  auto volume = kstv::host::detail::findVolume(static_cast<char>(letter));
  return volume ? volume->driveType : DRIVE_NO_ROOT_DIR;
}

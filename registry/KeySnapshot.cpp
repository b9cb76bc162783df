#include "registry/KeySnapshot.h"

#include <cstring>

#include "platform/heap.h"
#include "registry/RegistryKey.h"

namespace kstv {
namespace {

constexpr BYTE kKeyRecord = 'K';
constexpr BYTE kValueRecord = 'V';
constexpr BYTE kEndRecord = 'E';
constexpr DWORD kKeyNameCapacity = 256;
// A value that grows between the size query and the read is read again, this often.
constexpr int kReadAttempts = 4;

// Walks the records of a snapshot.
struct Cursor {
  const BYTE* at;
  const BYTE* end;

  bool take(BYTE& kind) {
    if (at >= end) return false;
    kind = *at++;
    return true;
  }
  LPCSTR text() {
    auto begin = reinterpret_cast<LPCSTR>(at);
    at += std::strlen(begin) + 1;
    return begin;
  }
  DWORD number() {
    DWORD value;
    std::memcpy(&value, at, sizeof value);
    at += sizeof value;
    return value;
  }
};

LONG FirstFailure(LONG sofar, LONG result) { return sofar != ERROR_SUCCESS ? sofar : result; }

// Writes the values and subkeys of one key record (its 'K' and name already read) below
// `key`, up to its 'E'.
LONG RestoreBody(HKEY key, Cursor& records) {
  LONG result = ERROR_SUCCESS;
  BYTE kind = 0;
  while (records.take(kind) && kind != kEndRecord) {
    LPCSTR name = records.text();
    if (kind == kValueRecord) {
      const DWORD type = records.number();
      const DWORD size = records.number();
      result = FirstFailure(result,
                            RegSetValueExA(key, *name ? name : nullptr, 0, type, records.at, size));
      records.at += size;
      continue;
    }
    RegistryKey child;
    const LONG created =
        child.create(key, name, nullptr, REG_OPTION_NON_VOLATILE, kKeyDeleteTree, nullptr, nullptr);
    result = FirstFailure(result, created);
    // A child that cannot be made still has its records read past.
    result = FirstFailure(
        result, RestoreBody(created == ERROR_SUCCESS ? child.handle() : nullptr, records));
  }
  return result;
}

}  // namespace

KeySnapshot::~KeySnapshot() { clear(); }

void KeySnapshot::clear() {
  if (records_) HeapFree(GetProcessHeap(), 0, records_);
  records_ = nullptr;
  size_ = capacity_ = 0;
}

bool KeySnapshot::append(const void* bytes, std::size_t count) {
  if (size_ + count > capacity_) {
    std::size_t capacity = capacity_ ? capacity_ : 256;
    while (capacity < size_ + count) capacity *= 2;
    void* grown = records_ ? HeapReAlloc(GetProcessHeap(), 0, records_, capacity)
                           : HeapAlloc(GetProcessHeap(), 0, capacity);
    if (!grown) return false;
    records_ = static_cast<BYTE*>(grown);
    capacity_ = capacity;
  }
  std::memcpy(records_ + size_, bytes, count);
  size_ += count;
  return true;
}

LONG KeySnapshot::appendKey(HKEY key, LPCSTR name) {
  if (!append(&kKeyRecord, 1) || !append(name, std::strlen(name) + 1)) return ERROR_OUTOFMEMORY;
  DWORD nameCapacity = 0;
  DWORD dataCapacity = 0;
  LONG result = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                 &nameCapacity, &dataCapacity, nullptr, nullptr);
  if (result != ERROR_SUCCESS) return result;
  // Lengths are counted in characters of the platform's own text: room for two bytes each.
  nameCapacity = 2 * nameCapacity + 2;
  dataCapacity = 2 * dataCapacity + 2;
  for (DWORD index = 0;; ++index) {
    for (int attempt = 0;; ++attempt) {
      HeapBuffer valueName(nameCapacity);
      HeapBuffer data(dataCapacity);
      if (!valueName || !data) return ERROR_OUTOFMEMORY;
      DWORD nameLength = nameCapacity;
      DWORD size = dataCapacity;
      DWORD type = REG_NONE;
      result = RegEnumValueA(key, index, valueName.get(), &nameLength, nullptr, &type,
                             reinterpret_cast<LPBYTE>(data.get()), &size);
      if (result == ERROR_NO_MORE_ITEMS) break;
      if (result == ERROR_MORE_DATA && attempt + 1 < kReadAttempts) {
        nameCapacity *= 2;
        dataCapacity = size > dataCapacity ? size : 2 * dataCapacity;
        continue;
      }
      if (result != ERROR_SUCCESS) return result;
      if (!append(&kValueRecord, 1) || !append(valueName.get(), nameLength + 1) ||
          !append(&type, sizeof type) || !append(&size, sizeof size) || !append(data.get(), size))
        return ERROR_OUTOFMEMORY;
      break;
    }
    if (result == ERROR_NO_MORE_ITEMS) break;
  }
  for (DWORD index = 0;; ++index) {
    char childName[kKeyNameCapacity];
    DWORD length = kKeyNameCapacity;
    FILETIME lastWrite{};
    result = RegEnumKeyExA(key, index, childName, &length, nullptr, nullptr, nullptr, &lastWrite);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result != ERROR_SUCCESS) return result;
    HKEY opened = nullptr;
    result = RegOpenKeyExA(key, childName, 0, kKeyRead, &opened);
    if (result != ERROR_SUCCESS) return result;
    RegistryKey child;
    child.attach(opened);
    result = appendKey(child.handle(), childName);
    if (result != ERROR_SUCCESS) return result;
  }
  return append(&kEndRecord, 1) ? ERROR_SUCCESS : ERROR_OUTOFMEMORY;
}

LONG KeySnapshot::take(HKEY root, LPCSTR path) {
  clear();
  HKEY opened = nullptr;
  LONG result = RegOpenKeyExA(root, path, 0, kKeyRead, &opened);
  if (result == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (result != ERROR_SUCCESS) return result;
  RegistryKey key;
  key.attach(opened);
  result = appendKey(key.handle(), "");
  if (result != ERROR_SUCCESS) clear();
  return result;
}

LONG KeySnapshot::restore(HKEY root, LPCSTR path) const {
  LONG result = RegistryKey::deleteTree(root, path);
  if (result == ERROR_FILE_NOT_FOUND) result = ERROR_SUCCESS;
  if (!existed()) return result;
  Cursor records{records_, records_ + size_};
  BYTE kind = 0;
  records.take(kind);
  records.text();  // the key itself: made at `path`
  RegistryKey key;
  const LONG created =
      key.create(root, path, nullptr, REG_OPTION_NON_VOLATILE, kKeyDeleteTree, nullptr, nullptr);
  result = FirstFailure(result, created);
  return FirstFailure(result,
                      RestoreBody(created == ERROR_SUCCESS ? key.handle() : nullptr, records));
}

}  // namespace kstv

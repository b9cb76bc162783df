#include "registry/RegistryKey.h"

namespace kstv {
namespace {

// Key names are at most 255 characters; the enumeration buffer holds one and its NUL.
constexpr DWORD kKeyNameBufferSize = 256;

}  // namespace

RegistryKey::~RegistryKey() { close(); }

LONG RegistryKey::attach(HKEY& key) {
  LONG result = key_ ? RegCloseKey(key_) : ERROR_SUCCESS;
  key_ = key;
  key = nullptr;
  return result;
}

HKEY RegistryKey::detach() {
  HKEY key = key_;
  key_ = nullptr;
  return key;
}

LONG RegistryKey::create(HKEY parent, LPCSTR subKeyName, LPSTR className, DWORD options,
                         REGSAM access, LPSECURITY_ATTRIBUTES securityAttributes,
                         LPDWORD dispositionOut) {
  DWORD disposition = 0;
  HKEY newKey = nullptr;
  LONG result = RegCreateKeyExA(parent, subKeyName, 0, className, options, access,
                                securityAttributes, &newKey, &disposition);
  if (dispositionOut) *dispositionOut = disposition;
  if (result != ERROR_SUCCESS) return result;
  if (key_) result = RegCloseKey(key_);
  key_ = newKey;
  return result;
}

void RegistryKey::close() {
  if (!key_) return;
  RegCloseKey(key_);
  key_ = nullptr;
}

LONG RegistryKey::queryString(LPSTR buffer, LPCSTR valueName, DWORD* inOutByteCount) const {
  DWORD type = REG_NONE;
  LONG result = RegQueryValueExA(key_, valueName, nullptr, &type, reinterpret_cast<LPBYTE>(buffer),
                                 inOutByteCount);
  // A value that did not fit, or none at all, leaves no bytes in the buffer to check.
  if (result == ERROR_MORE_DATA) return result;
  const DWORD count = inOutByteCount ? *inOutByteCount : 0;
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      if (buffer && (count == 0 || buffer[count - 1] != '\0')) return ERROR_INVALID_DATA;
      return result;
    case REG_MULTI_SZ:
      if (count < 2 || (buffer && (buffer[count - 1] != '\0' || buffer[count - 2] != '\0')))
        return ERROR_INVALID_DATA;
      return result;
    default:  // REG_NONE, which a missing value also reports, and every other type
      return ERROR_INVALID_DATA;
  }
}

LONG RegistryKey::deleteTree(HKEY parent, LPCSTR subKeyName) {
  // No name would stand for the parent itself, which is never deleted through here.
  if (!subKeyName || !*subKeyName) return ERROR_INVALID_PARAMETER;
  RegistryKey child;
  HKEY opened = nullptr;
  LONG result = RegOpenKeyExA(parent, subKeyName, 0, kKeyDeleteTree, &opened);
  if (result != ERROR_SUCCESS) return result;
  child.attach(opened);

  // Always index 0: each successful recursive call removes the child just found.
  char name[kKeyNameBufferSize];
  DWORD count = kKeyNameBufferSize;
  FILETIME lastWrite{};
  while (RegEnumKeyExA(child.handle(), 0, name, &count, nullptr, nullptr, nullptr, &lastWrite) ==
         ERROR_SUCCESS) {
    result = deleteTree(child.handle(), name);
    if (result != ERROR_SUCCESS) return result;  // child closes on the way out
    count = kKeyNameBufferSize;
  }
  // A child left behind (a name too long for the buffer) makes the deletion fail.
  child.close();
  return RegDeleteKeyA(parent, subKeyName);
}

}  // namespace kstv

// RegistryKey: the holder of one open registry key, through which the system creates,
// reads, closes and deletes keys.
#pragma once

#include "platform/win32.h"

namespace kstv {

// Access masks used across the system.
inline constexpr REGSAM kKeyRead = KEY_READ;             // 0x20019
inline constexpr REGSAM kKeyWrite = KEY_WRITE;           // 0x20006
inline constexpr REGSAM kKeyAllAccess = KEY_ALL_ACCESS;  // 0xF003F
// What deleting a tree needs of each key: read it, and create and set below it.
inline constexpr REGSAM kKeyDeleteTree = KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY;  // 0x2001F

class RegistryKey {
 public:
  RegistryKey() = default;
  ~RegistryKey();
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  // Takes ownership of a key opened by a raw registry call and clears the raw variable.
  // A key held before is closed first; the result is that close's (0 when none).
  LONG attach(HKEY& key);
  // Hands the held key to the caller, who closes it; the holder is then empty.
  HKEY detach();
  HKEY handle() const { return key_; }

  // Creates or opens `subKeyName` below `parent`. The disposition is stored through
  // `dispositionOut` whenever one is given, also on failure (0 when the platform did not
  // set it). On failure the key already held stays held; on success it is closed first
  // and that close's result becomes the result, the new key being held in every case.
  LONG create(HKEY parent, LPCSTR subKeyName, LPSTR className, DWORD options, REGSAM access,
              LPSECURITY_ATTRIBUTES securityAttributes, LPDWORD dispositionOut);
  void close();

  // Reads a string value of the held key and checks its type and terminator:
  // ERROR_INVALID_DATA for a missing value, a type other than REG_SZ, REG_EXPAND_SZ or
  // REG_MULTI_SZ, or data that does not end as that type must. inOutByteCount is in
  // bytes and holds on return what the platform reported.
  LONG queryString(LPSTR buffer, LPCSTR valueName, DWORD* inOutByteCount) const;

  // Deletes `subKeyName` below `parent` with everything below it, deepest keys first.
  static LONG deleteTree(HKEY parent, LPCSTR subKeyName);
  static LONG deleteTree(const RegistryKey& parentHolder, LPCSTR subKeyName) {
    return deleteTree(parentHolder.key_, subKeyName);
  }

 private:
  HKEY key_ = nullptr;
};

}  // namespace kstv

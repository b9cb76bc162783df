// Reading string and number values back from the registry in tests.
#pragma once

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/handles.h"

namespace kstv::test {

// A REG_SZ value (or one of `wantedType`) of a key below `root` (the default value when
// `name` is null), if the key and the value are there.
inline std::optional<std::string> stringValue(HKEY root, const std::string& path, const char* name,
                                              DWORD wantedType = REG_SZ) {
  UniqueKey key;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
    return std::nullopt;
  char data[1024];
  DWORD size = sizeof data, type = 0;
  if (RegQueryValueExA(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) !=
          ERROR_SUCCESS ||
      type != wantedType || size == 0)
    return std::nullopt;
  return std::string(data, size - 1);
}

// A REG_DWORD value of a key below `root`, if the key and the value are there.
inline std::optional<DWORD> dwordValue(HKEY root, const std::string& path, const char* name) {
  UniqueKey key;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
    return std::nullopt;
  DWORD data = 0, size = sizeof data, type = 0;
  if (RegQueryValueExA(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) !=
          ERROR_SUCCESS ||
      type != REG_DWORD || size != sizeof data)
    return std::nullopt;
  return data;
}

// The names of a REG_MULTI_SZ value of a key below `root`, if the key and the value are
// there.
inline std::optional<std::vector<std::string>> multiStringValue(HKEY root, const std::string& path,
                                                                const char* name) {
  UniqueKey key;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
    return std::nullopt;
  char data[1024];
  DWORD size = sizeof data, type = 0;
  if (RegQueryValueExA(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) !=
          ERROR_SUCCESS ||
      type != REG_MULTI_SZ)
    return std::nullopt;
  std::vector<std::string> names;
  for (DWORD start = 0; start < size && data[start];) {
    std::string one(data + start, strnlen(data + start, size - start));
    start += static_cast<DWORD>(one.size()) + 1;
    names.push_back(std::move(one));
  }
  return names;
}

// The default value of a key below HKEY_CLASSES_ROOT.
inline std::optional<std::string> defaultValue(const std::string& path) {
  return stringValue(HKEY_CLASSES_ROOT, path, nullptr);
}

}  // namespace kstv::test

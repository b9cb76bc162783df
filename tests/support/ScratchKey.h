// A scratch registry key for one test, below HKCU\Software\KstvTests: leftovers of a
// crashed run are removed first, and the key goes again when the test ends.
#pragma once

#include <string>

#include "platform/handles.h"

namespace kstv::test {

inline constexpr char kTestsRoot[] = "Software\\KstvTests";

// Deletes a key and everything below it with the raw platform calls, so that tests of
// RegistryKey do not depend on the code they test.
inline bool removeTree(HKEY parent, const std::string& name) {
  UniqueKey key;
  if (RegOpenKeyExA(parent, name.c_str(), 0, KEY_ALL_ACCESS, key.put()) != ERROR_SUCCESS)
    return false;
  char child[256];
  DWORD length = sizeof child;
  while (RegEnumKeyExA(key.get(), 0, child, &length, nullptr, nullptr, nullptr, nullptr) ==
         ERROR_SUCCESS) {
    if (!removeTree(key.get(), child)) return false;
    length = sizeof child;
  }
  key.reset();
  return RegDeleteKeyA(parent, name.c_str()) == ERROR_SUCCESS;
}

class ScratchKey {
 public:
  explicit ScratchKey(const std::string& name) : path_(std::string(kTestsRoot) + "\\" + name) {
    removeTree(HKEY_CURRENT_USER, path_);
    RegCreateKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                    key_.put(), nullptr);
  }
  ~ScratchKey() {
    key_.reset();
    removeTree(HKEY_CURRENT_USER, path_);
  }
  ScratchKey(const ScratchKey&) = delete;
  ScratchKey& operator=(const ScratchKey&) = delete;

  HKEY get() const { return key_.get(); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  UniqueKey key_;
};

// Helpers that keep the tests short.
inline LSTATUS createKey(HKEY parent, const char* name, REGSAM access, UniqueKey& out) {
  return RegCreateKeyExA(parent, name, 0, nullptr, 0, access, nullptr, out.put(), nullptr);
}

// Stores exactly the bytes of `data`. The copy ends in a non-NUL guard byte because the
// platform, like NT, counts a NUL that follows a string's bytes in memory as its own.
inline LSTATUS setString(HKEY key, const char* name, const std::string& data, DWORD type = REG_SZ) {
  const std::string guarded = data + 'X';
  return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(guarded.data()),
                        static_cast<DWORD>(data.size()));
}

inline bool keyExists(HKEY parent, const char* name) {
  UniqueKey key;
  return RegOpenKeyExA(parent, name, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

}  // namespace kstv::test

// Host build, internal: the registry's keys and values, kept in the machine database.
// Every registry call runs inside one MachineCall.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/host/machine_database.h"
#include "platform/win32.h"

namespace kstv::host::detail {

using KeyId = std::int64_t;

// Values enumerate in name order, as Wine keeps them.
struct ValueRecord {
  std::u16string name;
  DWORD type = REG_NONE;
  std::vector<unsigned char> data;
};

struct KeyInfo {
  DWORD subKeys = 0;
  DWORD maxSubKeyLength = 0;
  DWORD values = 0;
  DWORD maxValueNameLength = 0;
  DWORD maxValueLength = 0;
  FILETIME lastWriteTime{};
};

class RegistryStore {
 public:
  static RegistryStore& instance();

  // The key a predefined handle stands for, or nothing for another value.
  std::optional<KeyId> predefinedKey(HKEY key) const;

  bool exists(KeyId key);
  std::optional<KeyId> findChild(KeyId parent, std::u16string_view name);
  KeyId addChild(KeyId parent, std::u16string_view name);
  std::optional<std::u16string> childNameAt(KeyId parent, DWORD index);
  bool hasChildren(KeyId key);
  void removeKey(KeyId key);
  // Removes a key with everything below it.
  void removeTree(KeyId key);

  std::optional<ValueRecord> findValue(KeyId key, std::u16string_view name);
  std::optional<ValueRecord> valueAt(KeyId key, DWORD index);
  // A value whose name differs only in case keeps its own spelling and takes the data.
  void setValue(KeyId key, std::u16string_view name, DWORD type, const BYTE* data, DWORD size);
  bool removeValue(KeyId key, std::u16string_view name);
  // With `lengths` false only the counts and the write time are filled in: the longest
  // names and data take a pass over every child and value.
  KeyInfo info(KeyId key, bool lengths = true);
  // The change log: keys written while it runs (a value set or removed, a subkey added
  // or removed, the key removed). It runs inside the caller's transaction and ends with
  // it; the triggers behind it are made once, outside any transaction.
  RegistryStore& withChangeLog();
  void startChangeLog();
  std::vector<KeyId> changedKeys();

  void clear();

  // Keys that open for reading only (a test's mark, private to this process).
  void markReadOnly(KeyId key) { readOnly_.insert(key); }
  bool isReadOnly(KeyId key) const { return readOnly_.count(key) != 0; }
  void clearReadOnlyMarks() { readOnly_.clear(); }

 private:
  RegistryStore();
  void createSchema();
  void createRoots();
  std::int64_t now() const;
  sqlite3* db() { return MachineDatabase::instance().db(); }

  KeyId roots_[7] = {};
  bool changeLogReady_ = false;
  std::set<KeyId> readOnly_;
};

}  // namespace kstv::host::detail

// Host build, internal: the registry's keys and values. Every registry call runs inside
// one MachineCall.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/host/detail/machine_database.h"
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

// The registry's store. A private machine keeps it in memory, with a journal that the
// machine database's transactions roll back; a machine shared between processes keeps
// it in the machine file.
class RegistryStore {
 public:
  static RegistryStore& instance();
  virtual ~RegistryStore() = default;

  // The key a predefined handle stands for, or nothing for another value.
  std::optional<KeyId> predefinedKey(HKEY key) const;

  virtual bool exists(KeyId key) = 0;
  virtual std::optional<KeyId> findChild(KeyId parent, std::u16string_view name) = 0;
  virtual KeyId addChild(KeyId parent, std::u16string_view name) = 0;
  virtual std::optional<std::u16string> childNameAt(KeyId parent, DWORD index) = 0;
  virtual bool hasChildren(KeyId key) = 0;
  virtual void removeKey(KeyId key) = 0;
  // Removes a key with everything below it.
  void removeTree(KeyId key);

  virtual std::optional<ValueRecord> findValue(KeyId key, std::u16string_view name) = 0;
  virtual std::optional<ValueRecord> valueAt(KeyId key, DWORD index) = 0;
  // A value whose name differs only in case keeps its own spelling and takes the data.
  virtual void setValue(KeyId key, std::u16string_view name, DWORD type, const BYTE* data,
                        DWORD size) = 0;
  virtual bool removeValue(KeyId key, std::u16string_view name) = 0;
  // With `lengths` false only the counts and the write time are filled in: the longest
  // names and data take a pass over every child and value.
  virtual KeyInfo info(KeyId key, bool lengths = true) = 0;
  // The change log: keys written while it runs (a value set or removed, a subkey added
  // or removed, the key removed). It runs inside the caller's transaction and ends with
  // it; withChangeLog prepares it once, outside any transaction.
  virtual RegistryStore& withChangeLog() { return *this; }
  virtual void startChangeLog() = 0;
  virtual std::vector<KeyId> changedKeys() = 0;

  // Leaves the predefined roots only.
  void clear();

  // Keys that grant only some access rights, as a key's security descriptor would (a
  // test's mark, private to this process). A key without a mark grants every right.
  void limitAccess(KeyId key, REGSAM granted) { accessLimits_[key] = granted; }
  REGSAM grantedAccess(KeyId key) const {
    auto found = accessLimits_.find(key);
    return found == accessLimits_.end() ? ~REGSAM{0} : found->second;
  }
  void clearAccessLimits() { accessLimits_.clear(); }

 protected:
  RegistryStore() = default;
  // Finds or makes the predefined roots; a backend calls it once it is ready.
  void createRoots();
  virtual void removeEverything() = 0;
  void forgetAccessLimit(KeyId key) { accessLimits_.erase(key); }

 private:
  KeyId roots_[7] = {};
  std::map<KeyId, REGSAM> accessLimits_;
};

// 100-nanosecond intervals since 1601, as in a FILETIME.
std::int64_t fileTimeNow();
FILETIME toFileTime(std::int64_t value);
// The name keys and values are looked up by: case folded, in UTF-8, so that byte order
// is the order they enumerate in.
std::string foldedName(std::u16string_view name);

std::unique_ptr<RegistryStore> makeMemoryRegistryStore();
std::unique_ptr<RegistryStore> makeSqliteRegistryStore();

}  // namespace kstv::host::detail

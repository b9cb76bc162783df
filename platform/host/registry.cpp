// The registry calls on the host, with Windows' results: case-insensitive names, typed
// values, access checked against the handle, ERROR_KEY_DELETED for a handle whose key
// has gone, and RegDeleteKeyA refusing a key that still has subkeys.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/handles.h"
#include "platform/host/control.h"
#include "platform/host/detail/call_records.h"
#include "platform/host/detail/failures.h"
#include "platform/host/detail/registry_handles.h"
#include "platform/host/detail/registry_store.h"
#include "platform/host/detail/text.h"

namespace kstv::host {
namespace {

using detail::KeyId;
using detail::OpenKey;
using detail::RegistryHandles;
using detail::RegistryStore;

// One registry call: the machine's lock and transaction for its whole duration.
class Call {
 public:
  // The store is made, with its schema, before the call's own transaction begins.
  explicit Call(bool write) : store_(RegistryStore::instance()), call_(write) {}
  void commit() { call_.commit(); }

  RegistryStore& store() { return store_; }
  RegistryHandles& handles() { return RegistryHandles::instance(); }

  // The open key behind `handle`, checked for existence and for the access `needed`.
  LSTATUS use(HKEY handle, REGSAM needed, OpenKey& out) {
    // The performance data root serves counters, not keys and values.
    if (handle == HKEY_PERFORMANCE_DATA) return ERROR_INVALID_HANDLE;
    auto open = handles().resolve(handle);
    if (!open) return ERROR_INVALID_HANDLE;
    if (!store().exists(open->key)) return ERROR_KEY_DELETED;
    if ((open->access & needed) != needed) return ERROR_ACCESS_DENIED;
    out = *open;
    return ERROR_SUCCESS;
  }

 private:
  RegistryStore& store_;
  detail::MachineCall call_;
};

REGSAM normalizedAccess(REGSAM access) {
  access &= ~(KEY_WOW64_32KEY | KEY_WOW64_64KEY);
  if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) access |= KEY_ALL_ACCESS;
  if (access & GENERIC_READ) access |= KEY_READ;
  if (access & GENERIC_WRITE) access |= KEY_WRITE;
  if (access & GENERIC_EXECUTE) access |= KEY_EXECUTE;
  return access & ~(GENERIC_ALL | GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | MAXIMUM_ALLOWED);
}

// Whether the key grants every right asked for.
bool allowed(RegistryStore& store, KeyId key, REGSAM access) {
  return (access & ~store.grantedAccess(key)) == 0;
}

// Windows documents key names of at most 255 characters.
constexpr std::size_t kMaxKeyNameLength = 255;

// A key path, checked whole before any of it is looked up, then walked component by
// component: views into the path, converted once. A path may end in a backslash but not
// begin with one, and no component may be empty.
class KeyPath {
 public:
  LSTATUS split(LPCSTR path) {
    if (!path || !*path) return ERROR_SUCCESS;
    if (path[0] == '\\') return ERROR_BAD_PATHNAME;
    wide_ = detail::ansiToWide(path);
    for (std::size_t start = 0; start < wide_.size();) {
      std::size_t end = endOf(start);
      if (end == start) return ERROR_BAD_PATHNAME;
      if (end - start > kMaxKeyNameLength) return ERROR_INVALID_PARAMETER;
      start = end + 1;
    }
    return ERROR_SUCCESS;
  }

  bool empty() const { return wide_.empty(); }

  class Iterator {
   public:
    Iterator(const KeyPath& path, std::size_t start)
        : path_(path), start_(start), end_(path.endOf(start)) {}
    std::u16string_view operator*() const {
      return std::u16string_view(path_.wide_).substr(start_, end_ - start_);
    }
    Iterator& operator++() {
      start_ = std::min(end_ + 1, path_.wide_.size());
      end_ = path_.endOf(start_);
      return *this;
    }
    bool operator!=(const Iterator& other) const { return start_ != other.start_; }

   private:
    const KeyPath& path_;
    std::size_t start_;
    std::size_t end_;
  };
  Iterator begin() const { return Iterator(*this, 0); }
  Iterator end() const { return Iterator(*this, wide_.size()); }

 private:
  std::size_t endOf(std::size_t start) const {
    std::size_t end = wide_.find(u'\\', start);
    return end == std::u16string::npos ? wide_.size() : end;
  }

  std::u16string wide_;
};

std::u16string valueNameOf(LPCSTR name) {
  return name ? detail::ansiToWide(name) : std::u16string();
}

bool isStringType(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// Copies a value's data out as RegQueryValueExA and RegEnumValueA do: the size needed
// always, the bytes when they fit, and a NUL behind a string that lacks one when the
// buffer has room for it (the count does not include that NUL). When they do not fit,
// Windows leaves the buffer's contents undefined: it gets the leading bytes, so that a
// caller that reads it all the same is seen to (Wine leaves it untouched).
LSTATUS copyData(const detail::ValueRecord& value, LPDWORD type, LPBYTE data, LPDWORD byteCount) {
  if (type) *type = value.type;
  auto size = static_cast<DWORD>(value.data.size());
  LSTATUS status = ERROR_SUCCESS;
  if (data) {
    if (*byteCount < size) {
      status = ERROR_MORE_DATA;
      std::copy_n(value.data.begin(), *byteCount, data);
    } else {
      std::copy(value.data.begin(), value.data.end(), data);
      if (isStringType(value.type) && size > 0 && size < *byteCount && data[size - 1] != 0)
        data[size] = 0;
    }
  }
  if (byteCount) *byteCount = size;
  return status;
}

}  // namespace

bool limitKeyAccess(HKEY root, const char* path, REGSAM granted) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path, 0, 0, &key) != ERROR_SUCCESS) return false;
  Call call(false);
  auto open = call.handles().resolve(key);
  call.store().limitAccess(open->key, granted);
  call.handles().close(key);
  return true;
}

bool markKeyReadOnly(HKEY root, const char* path) { return limitKeyAccess(root, path, KEY_READ); }

void clearReadOnlyMarks() {
  std::lock_guard guard(detail::MachineDatabase::instance().lock());
  RegistryStore::instance().clearAccessLimits();
}

std::size_t openRegistryHandleCount() {
  std::lock_guard guard(detail::MachineDatabase::instance().lock());
  return RegistryHandles::instance().count();
}

void resetRegistry() {
  std::lock_guard guard(detail::MachineDatabase::instance().lock());
  if (machineDirectory().empty()) RegistryStore::instance().clear();
}

std::optional<std::int64_t> registryKeyIdentity(HKEY root, const char* path) {
  UniqueKey key;
  if (RegOpenKeyExA(root, path, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return std::nullopt;
  Call call(false);
  OpenKey open{};
  if (call.use(key.get(), 0, open) != ERROR_SUCCESS) return std::nullopt;
  return open.key;
}

struct ScratchScope::State {
  // The store keeps its roots' ids and its change log's triggers: it must be set up
  // before the transaction that would otherwise undo them.
  RegistryStore& store = RegistryStore::instance().withChangeLog();
  detail::MachineCall call{true};
};

ScratchScope::ScratchScope() : state_(std::make_unique<State>()) { state_->store.startChangeLog(); }

ScratchScope::~ScratchScope() = default;

std::vector<std::int64_t> ScratchScope::touchedKeys() { return state_->store.changedKeys(); }

}  // namespace kstv::host

using kstv::host::Call;
using kstv::host::detail::injectedFailure;
using kstv::host::detail::KeyId;
using kstv::host::detail::OpenKey;

LSTATUS WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD, REGSAM access, PHKEY result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  if (auto code = injectedFailure("RegOpenKeyExA")) return static_cast<LSTATUS>(*code);
  if (key == HKEY_PERFORMANCE_DATA && (!subKey || !*subKey)) {
    *result = HKEY_PERFORMANCE_DATA;  // the root itself, as the platform hands it out
    return ERROR_SUCCESS;
  }
  Call call(false);
  OpenKey parent{};
  if (LSTATUS status = call.use(key, 0, parent)) return status;
  kstv::host::KeyPath path;
  if (LSTATUS status = path.split(subKey)) return status;
  KeyId current = parent.key;
  for (std::u16string_view name : path) {
    auto child = call.store().findChild(current, name);
    if (!child) return ERROR_FILE_NOT_FOUND;
    current = *child;
  }
  access = kstv::host::normalizedAccess(access);
  if (!kstv::host::allowed(call.store(), current, access)) return ERROR_ACCESS_DENIED;
  *result = call.handles().open(current, access);
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD, LPSTR, DWORD, REGSAM access,
                               const SECURITY_ATTRIBUTES*, PHKEY result, LPDWORD disposition) {
  if (!result) return ERROR_INVALID_PARAMETER;
  if (auto code = injectedFailure("RegCreateKeyExA")) return static_cast<LSTATUS>(*code);
  Call call(true);
  OpenKey parent{};
  if (LSTATUS status = call.use(key, 0, parent)) return status;
  kstv::host::KeyPath path;
  if (LSTATUS status = path.split(subKey)) return status;
  KeyId current = parent.key;
  bool created = false;
  for (std::u16string_view name : path) {
    auto child = call.store().findChild(current, name);
    if (child) {
      current = *child;
      continue;
    }
    // A new key needs the right to create subkeys in its parent: granted by the parent,
    // and held by the handle when the parent is the handle's own key.
    bool mayCreate = kstv::host::allowed(call.store(), current, KEY_CREATE_SUB_KEY) &&
                     (current != parent.key || (parent.access & KEY_CREATE_SUB_KEY) != 0);
    if (!mayCreate) return ERROR_ACCESS_DENIED;
    current = call.store().addChild(current, name);
    created = true;
  }
  access = kstv::host::normalizedAccess(access);
  if (!kstv::host::allowed(call.store(), current, access)) return ERROR_ACCESS_DENIED;
  call.commit();
  *result = call.handles().open(current, access);
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY key) {
  if (auto code = injectedFailure("RegCloseKey")) return static_cast<LSTATUS>(*code);
  std::lock_guard guard(kstv::host::detail::MachineDatabase::instance().lock());
  if (kstv::host::detail::RegistryStore::instance().predefinedKey(key)) return ERROR_SUCCESS;
  return kstv::host::detail::RegistryHandles::instance().close(key) ? ERROR_SUCCESS
                                                                    : ERROR_INVALID_HANDLE;
}

LSTATUS WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type,
                                LPBYTE data, LPDWORD byteCount) {
  if (auto code = injectedFailure("RegQueryValueExA")) return static_cast<LSTATUS>(*code);
  if (reserved || (data && !byteCount)) return ERROR_INVALID_PARAMETER;
  Call call(false);
  OpenKey open{};
  if (LSTATUS status = call.use(key, KEY_QUERY_VALUE, open)) return status;
  auto value = call.store().findValue(open.key, kstv::host::valueNameOf(valueName));
  if (!value) return ERROR_FILE_NOT_FOUND;
  return kstv::host::copyData(*value, type, data, byteCount);
}

LSTATUS WINAPI RegSetValueExA(HKEY key, LPCSTR valueName, DWORD, DWORD type, const BYTE* data,
                              DWORD byteCount) {
  if (auto code = injectedFailure("RegSetValueExA")) return static_cast<LSTATUS>(*code);
  if (kstv::host::detail::recordingCalls())
    kstv::host::detail::recordCall(
        "RegSetValueExA", {valueName ? valueName : "null", kstv::host::detail::hexArgument(type),
                           kstv::host::detail::hexArgument(byteCount)});
  if (!data && byteCount) return ERROR_NOACCESS;
  // As NT does: a string whose terminator stands just behind the given bytes is stored
  // with it.
  if (byteCount && kstv::host::isStringType(type) && data[byteCount - 1] != 0 &&
      data[byteCount] == 0)
    ++byteCount;
  Call call(true);
  OpenKey open{};
  if (LSTATUS status = call.use(key, KEY_SET_VALUE, open)) return status;
  call.store().setValue(open.key, kstv::host::valueNameOf(valueName), type, data, byteCount);
  call.commit();
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegDeleteValueA(HKEY key, LPCSTR valueName) {
  if (auto code = injectedFailure("RegDeleteValueA")) return static_cast<LSTATUS>(*code);
  Call call(true);
  OpenKey open{};
  if (LSTATUS status = call.use(key, KEY_SET_VALUE, open)) return status;
  if (!call.store().removeValue(open.key, kstv::host::valueNameOf(valueName)))
    return ERROR_FILE_NOT_FOUND;
  call.commit();
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegDeleteKeyA(HKEY key, LPCSTR subKey) {
  if (auto code = injectedFailure("RegDeleteKeyA")) return static_cast<LSTATUS>(*code);
  if (!subKey) return ERROR_INVALID_PARAMETER;
  Call call(true);
  OpenKey parent{};
  if (LSTATUS status = call.use(key, 0, parent)) return status;
  kstv::host::KeyPath path;
  if (LSTATUS status = path.split(subKey)) return status;
  KeyId target = parent.key;
  for (std::u16string_view name : path) {
    auto child = call.store().findChild(target, name);
    if (!child) return ERROR_FILE_NOT_FOUND;
    target = *child;
  }
  // Deleting needs DELETE access to the key itself, whatever the handle's access: refused
  // for a root, for a key that does not grant it, and, as on Windows, for a key that still
  // has subkeys.
  if (call.store().predefinedKey(key) && path.empty()) return ERROR_ACCESS_DENIED;
  if (!kstv::host::allowed(call.store(), target, DELETE) || call.store().hasChildren(target))
    return ERROR_ACCESS_DENIED;
  call.store().removeKey(target);
  call.commit();
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength,
                             LPDWORD reserved, LPSTR className, LPDWORD classLength,
                             PFILETIME lastWriteTime) {
  if (auto code = injectedFailure("RegEnumKeyExA")) return static_cast<LSTATUS>(*code);
  if (!name || !nameLength || reserved) return ERROR_INVALID_PARAMETER;
  Call call(false);
  OpenKey open{};
  if (LSTATUS status = call.use(key, KEY_ENUMERATE_SUB_KEYS, open)) return status;
  auto child = call.store().childNameAt(open.key, index);
  if (!child) return ERROR_NO_MORE_ITEMS;
  std::string text = kstv::host::detail::wideToAnsi(*child);
  if (text.size() + 1 > *nameLength) return ERROR_MORE_DATA;
  std::memcpy(name, text.c_str(), text.size() + 1);
  *nameLength = static_cast<DWORD>(text.size());
  if (className && classLength && *classLength > 0) className[0] = '\0';
  if (classLength) *classLength = 0;
  if (lastWriteTime) {
    auto childKey = call.store().findChild(open.key, *child);
    *lastWriteTime = call.store().info(*childKey).lastWriteTime;
  }
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegEnumValueA(HKEY key, DWORD index, LPSTR valueName, LPDWORD valueNameLength,
                             LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD byteCount) {
  if (auto code = injectedFailure("RegEnumValueA")) return static_cast<LSTATUS>(*code);
  if (!valueName || !valueNameLength || reserved || (data && !byteCount))
    return ERROR_INVALID_PARAMETER;
  Call call(false);
  OpenKey open{};
  if (LSTATUS status = call.use(key, KEY_QUERY_VALUE, open)) return status;
  auto value = call.store().valueAt(open.key, index);
  if (!value) return ERROR_NO_MORE_ITEMS;
  std::string text = kstv::host::detail::wideToAnsi(value->name);
  if (text.size() + 1 > *valueNameLength) return ERROR_MORE_DATA;
  LSTATUS status = kstv::host::copyData(*value, type, data, byteCount);
  if (status == ERROR_SUCCESS) {
    std::memcpy(valueName, text.c_str(), text.size() + 1);
    *valueNameLength = static_cast<DWORD>(text.size());
  }
  return status;
}

LSTATUS WINAPI RegQueryInfoKeyA(HKEY key, LPSTR className, LPDWORD classLength, LPDWORD reserved,
                                LPDWORD subKeys, LPDWORD maxSubKeyLength, LPDWORD maxClassLength,
                                LPDWORD values, LPDWORD maxValueNameLength, LPDWORD maxValueLength,
                                LPDWORD securityDescriptorLength, PFILETIME lastWriteTime) {
  if (auto code = injectedFailure("RegQueryInfoKeyA")) return static_cast<LSTATUS>(*code);
  if (reserved || (className && !classLength)) return ERROR_INVALID_PARAMETER;
  Call call(false);
  OpenKey open{};
  if (LSTATUS status = call.use(key, KEY_QUERY_VALUE, open)) return status;
  const bool lengths = maxSubKeyLength || maxValueNameLength || maxValueLength;
  kstv::host::detail::KeyInfo info = call.store().info(open.key, lengths);
  if (className && *classLength > 0) className[0] = '\0';
  if (classLength) *classLength = 0;
  if (subKeys) *subKeys = info.subKeys;
  if (maxSubKeyLength) *maxSubKeyLength = info.maxSubKeyLength;
  if (maxClassLength) *maxClassLength = 0;
  if (values) *values = info.values;
  if (maxValueNameLength) *maxValueNameLength = info.maxValueNameLength;
  if (maxValueLength) *maxValueLength = info.maxValueLength;
  if (securityDescriptorLength) *securityDescriptorLength = 0;
  if (lastWriteTime) *lastWriteTime = info.lastWriteTime;
  return ERROR_SUCCESS;
}

#include "platform/host/detail/registry_handles.h"

namespace kstv::host::detail {

RegistryHandles& RegistryHandles::instance() {
  static RegistryHandles handles;
  return handles;
}

HKEY RegistryHandles::open(KeyId key, REGSAM access) {
  // Handle values are never reused, so a stale handle cannot reach another key.
  ULONG_PTR value = next_;
  next_ += 4;
  open_.emplace(value, OpenKey{key, access});
  return reinterpret_cast<HKEY>(value);
}

bool RegistryHandles::close(HKEY handle) {
  return open_.erase(reinterpret_cast<ULONG_PTR>(handle)) != 0;
}

std::optional<OpenKey> RegistryHandles::resolve(HKEY handle) const {
  if (auto root = RegistryStore::instance().predefinedKey(handle))
    return OpenKey{*root, KEY_ALL_ACCESS};
  auto found = open_.find(reinterpret_cast<ULONG_PTR>(handle));
  if (found == open_.end()) return std::nullopt;
  return found->second;
}

}  // namespace kstv::host::detail

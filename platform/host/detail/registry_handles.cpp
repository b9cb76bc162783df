#include "platform/host/detail/registry_handles.h"

#include <algorithm>

namespace kstv::host::detail {
namespace {

template <typename Handles>
auto findHandle(Handles& open, HKEY handle) {
  auto value = reinterpret_cast<ULONG_PTR>(handle);
  auto found = std::lower_bound(open.begin(), open.end(), value,
                                [](const auto& entry, ULONG_PTR v) { return entry.first < v; });
  return found != open.end() && found->first == value ? found : open.end();
}

}  // namespace

RegistryHandles& RegistryHandles::instance() {
  static RegistryHandles handles;
  return handles;
}

HKEY RegistryHandles::open(KeyId key, REGSAM access) {
  // Handle values are never reused, so a stale handle cannot reach another key.
  ULONG_PTR value = next_;
  next_ += 4;
  open_.emplace_back(value, OpenKey{key, access});
  return reinterpret_cast<HKEY>(value);
}

bool RegistryHandles::close(HKEY handle) {
  auto found = findHandle(open_, handle);
  if (found == open_.end()) return false;
  open_.erase(found);
  return true;
}

std::optional<OpenKey> RegistryHandles::resolve(HKEY handle) const {
  if (auto root = RegistryStore::instance().predefinedKey(handle))
    return OpenKey{*root, KEY_ALL_ACCESS};
  auto found = findHandle(open_, handle);
  if (found == open_.end()) return std::nullopt;
  return found->second;
}

}  // namespace kstv::host::detail

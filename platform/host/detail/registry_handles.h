// Host build, internal: the process's open registry handles. A handle names a key and
// the access it was opened with; it stays valid until closed, even if its key is deleted.
#pragma once

#include <cstddef>
#include <map>
#include <optional>

#include "platform/host/detail/registry_store.h"

namespace kstv::host::detail {

struct OpenKey {
  KeyId key;
  REGSAM access;
};

class RegistryHandles {
 public:
  static RegistryHandles& instance();

  HKEY open(KeyId key, REGSAM access);
  bool close(HKEY handle);
  // The key and access behind a handle: predefined roots with full access, open
  // handles as opened; nothing for a value that is neither.
  std::optional<OpenKey> resolve(HKEY handle) const;
  std::size_t count() const { return open_.size(); }

 private:
  std::map<ULONG_PTR, OpenKey> open_;
  ULONG_PTR next_ = 0x1000;
};

}  // namespace kstv::host::detail

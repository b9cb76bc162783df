// Host build, internal: the process's open registry handles. A handle names a key and
// the access it was opened with; it stays valid until closed, even if its key is deleted.
#pragma once

#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

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
  // By handle value: values only grow, so a new handle goes at the end, and handles
  // close mostly in the reverse order they opened in.
  std::vector<std::pair<ULONG_PTR, OpenKey>> open_;
  ULONG_PTR next_ = 0x1000;
};

}  // namespace kstv::host::detail

// KeySnapshot: a registry key with its values and subkeys as they were at one moment, to
// be put back whole after a road that changed them has failed.
#pragma once

#include <cstddef>

#include "platform/win32.h"

namespace kstv {

class KeySnapshot {
 public:
  KeySnapshot() = default;
  ~KeySnapshot();
  KeySnapshot(const KeySnapshot&) = delete;
  KeySnapshot& operator=(const KeySnapshot&) = delete;

  // Reads `path` below `root` with everything below it. A key that does not exist is
  // recorded as absent; any other failure (E_OUTOFMEMORY as ERROR_OUTOFMEMORY) is the
  // result, and the snapshot is then empty.
  LONG take(HKEY root, LPCSTR path);
  bool existed() const { return size_ != 0; }

  // Puts the key back as it was: removed with everything below it, then, if it existed,
  // made again with the values and subkeys read. Every step is tried; the first failure
  // is the result (a key that is already gone is none).
  LONG restore(HKEY root, LPCSTR path) const;

 private:
  LONG appendKey(HKEY key, LPCSTR name);
  bool append(const void* bytes, std::size_t count);
  void clear();

  // The key in pre-order: 'K' and a name (empty for the key itself), its values ('V', a
  // name, the type, the size and the data), its subkeys, and 'E'.
  BYTE* records_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace kstv

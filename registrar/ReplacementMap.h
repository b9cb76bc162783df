// ReplacementMap: the named texts that %NAME% references in a registrar script expand to.
#pragma once

#include "platform/win32.h"

namespace kstv {

// One name and its text, each a copy from the COM task allocator.
struct Replacement {
  LPOLESTR key;
  LPOLESTR value;
};

class ReplacementMap {
 public:
  static constexpr int kInitialCapacity = 10;

  ReplacementMap();
  ~ReplacementMap();
  ReplacementMap(const ReplacementMap&) = delete;
  ReplacementMap& operator=(const ReplacementMap&) = delete;

  // Appends a copy of the pair; the same name may be added twice (the earlier wins).
  // E_OUTOFMEMORY when anything cannot be allocated: the map is then as it was.
  HRESULT add(LPCOLESTR key, LPCOLESTR value);
  // The text of the first pair whose name, in the ANSI code page, equals `key` without
  // regard to case; null when there is none or a stored name cannot be converted.
  // `outOfMemory`, when given, says whether the search stopped for want of memory.
  LPCOLESTR lookup(LPCSTR key, bool* outOfMemory = nullptr) const;
  // Releases every pair; the slots stay.
  void clear();

  int count() const { return count_; }
  int capacity() const { return capacity_; }

 private:
  Replacement** entries_;
  int count_ = 0;
  int capacity_ = 0;
};

}  // namespace kstv

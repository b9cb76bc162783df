// Host build, internal: a set of pointers that allocates only when it grows, so that
// counting the blocks of an allocator does not double the allocations it makes. Open
// addressing with linear probing; a removal moves later entries of the probe run back,
// so that no removed-entry markers pile up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kstv::host::detail {

class PointerSet {
 public:
  // Adds `pointer` (not null, not already in the set).
  void insert(void* pointer) {
    if ((live_ + 1) * 2 > slots_.size()) grow();
    std::size_t slot = firstSlot(pointer);
    while (slots_[slot] != nullptr) slot = next(slot);
    slots_[slot] = pointer;
    ++live_;
  }

  // Removes `pointer`; false when it is not in the set.
  bool erase(void* pointer) {
    if (slots_.empty() || pointer == nullptr) return false;
    std::size_t slot = firstSlot(pointer);
    while (slots_[slot] != pointer) {
      if (slots_[slot] == nullptr) return false;
      slot = next(slot);
    }
    // A later entry of the run stays where it is when its first slot lies after the hole
    // (cyclically, up to the entry itself); any other would not be found past the hole,
    // so it moves into the hole, which moves to where it was.
    std::size_t hole = slot;
    for (std::size_t later = next(hole); slots_[later] != nullptr; later = next(later)) {
      std::size_t home = firstSlot(slots_[later]);
      bool staysFound =
          hole <= later ? (hole < home && home <= later) : (hole < home || home <= later);
      if (staysFound) continue;
      slots_[hole] = slots_[later];
      hole = later;
    }
    slots_[hole] = nullptr;
    --live_;
    return true;
  }

  std::size_t size() const { return live_; }

 private:
  std::size_t next(std::size_t slot) const { return (slot + 1) & (slots_.size() - 1); }
  std::size_t firstSlot(void* pointer) const {
    std::uint64_t hash = (reinterpret_cast<std::uintptr_t>(pointer) >> 4) * 0x9E3779B97F4A7C15ULL;
    return static_cast<std::size_t>(hash ^ (hash >> 32)) & (slots_.size() - 1);
  }

  void grow() {
    std::vector<void*> old(slots_.empty() ? 64 : 2 * slots_.size(), nullptr);
    old.swap(slots_);
    live_ = 0;
    for (void* pointer : old)
      if (pointer != nullptr) insert(pointer);
  }

  std::vector<void*> slots_;
  std::size_t live_ = 0;
};

}  // namespace kstv::host::detail

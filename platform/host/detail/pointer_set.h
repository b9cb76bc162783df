// Host build, internal: a set of pointers that allocates only when it grows, so that
// counting the blocks of an allocator does not double the allocations it makes. Open
// addressing with linear probing; removed entries leave a marker until the next growth.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kstv::host::detail {

class PointerSet {
 public:
  // Adds `pointer` (not null, not already in the set).
  void insert(void* pointer) {
    if ((occupied_ + 1) * 2 > slots_.size()) rebuild(live_ * 4 > 16 ? live_ * 4 : 16);
    std::size_t slot = firstSlot(pointer);
    while (slots_[slot] != nullptr && slots_[slot] != removed()) slot = (slot + 1) & mask();
    if (slots_[slot] == nullptr) ++occupied_;
    slots_[slot] = pointer;
    ++live_;
  }

  // Removes `pointer`; false when it is not in the set.
  bool erase(void* pointer) {
    if (slots_.empty() || pointer == nullptr) return false;
    for (std::size_t slot = firstSlot(pointer); slots_[slot] != nullptr;
         slot = (slot + 1) & mask()) {
      if (slots_[slot] == pointer) {
        slots_[slot] = removed();
        --live_;
        return true;
      }
    }
    return false;
  }

  std::size_t size() const { return live_; }

 private:
  static void* removed() { return reinterpret_cast<void*>(std::uintptr_t{1}); }
  std::size_t mask() const { return slots_.size() - 1; }
  std::size_t firstSlot(void* pointer) const {
    std::uint64_t hash = (reinterpret_cast<std::uintptr_t>(pointer) >> 4) * 0x9E3779B97F4A7C15ULL;
    return static_cast<std::size_t>(hash ^ (hash >> 32)) & mask();
  }

  // A table of `capacity` slots (a power of two) holding the live entries only.
  void rebuild(std::size_t capacity) {
    std::size_t size = 1;
    while (size < capacity) size *= 2;
    std::vector<void*> old(size, nullptr);
    old.swap(slots_);
    live_ = occupied_ = 0;
    for (void* pointer : old)
      if (pointer != nullptr && pointer != removed()) insert(pointer);
  }

  std::vector<void*> slots_;
  std::size_t live_ = 0;
  std::size_t occupied_ = 0;  // live entries and removal markers
};

}  // namespace kstv::host::detail

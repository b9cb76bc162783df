#include "registrar/ReplacementMap.h"

#include <cstring>

#include "platform/text16.h"

namespace kstv {
namespace {

LPOLESTR copyToTaskMemory(LPCOLESTR text) {
  std::size_t bytes = (WideLength(text) + 1) * sizeof(OLECHAR);
  auto* copy = static_cast<LPOLESTR>(CoTaskMemAlloc(bytes));
  if (copy) std::memcpy(copy, text, bytes);
  return copy;
}

void releasePair(Replacement* pair) {
  CoTaskMemFree(pair->value);
  CoTaskMemFree(pair->key);
  HeapFree(GetProcessHeap(), 0, pair);
}

}  // namespace

ReplacementMap::ReplacementMap()
    : entries_(static_cast<Replacement**>(
          HeapAlloc(GetProcessHeap(), 0, kInitialCapacity * sizeof(Replacement*)))) {
  // Without its first array the map is unusable: every add then fails.
  if (entries_) capacity_ = kInitialCapacity;
}

ReplacementMap::~ReplacementMap() {
  clear();
  if (entries_) HeapFree(GetProcessHeap(), 0, entries_);
}

HRESULT ReplacementMap::add(LPCOLESTR key, LPCOLESTR value) {
  if (!entries_ || !key || !value) return E_OUTOFMEMORY;
  auto* pair =
      static_cast<Replacement*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(Replacement)));
  if (!pair) return E_OUTOFMEMORY;
  pair->key = copyToTaskMemory(key);
  pair->value = copyToTaskMemory(value);
  if (!pair->key || !pair->value) {
    releasePair(pair);
    return E_OUTOFMEMORY;
  }
  if (count_ == capacity_) {
    auto* grown = static_cast<Replacement**>(
        HeapReAlloc(GetProcessHeap(), 0, entries_, 2 * capacity_ * sizeof(Replacement*)));
    if (!grown) {
      releasePair(pair);
      return E_OUTOFMEMORY;
    }
    entries_ = grown;
    capacity_ *= 2;
  }
  entries_[count_++] = pair;
  return S_OK;
}

LPCOLESTR ReplacementMap::lookup(LPCSTR key, bool* outOfMemory) const {
  if (outOfMemory) *outOfMemory = false;
  for (int i = 0; i < count_; ++i) {
    if (!entries_[i]->key) return nullptr;
    HeapBuffer name = NarrowCopy(entries_[i]->key, outOfMemory);
    if (!name) return nullptr;
    if (lstrcmpiA(name.get(), key) == 0) return entries_[i]->value;
  }
  return nullptr;
}

void ReplacementMap::clear() {
  for (int i = 0; i < count_; ++i) releasePair(entries_[i]);
  count_ = 0;
}

}  // namespace kstv

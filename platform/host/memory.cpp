// Local memory and the COM task allocator, with a count of live blocks so that tests can
// see that every block was freed, and by the allocator that made it.
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/host/control.h"
#include "platform/host/detail/failures.h"
#include "platform/host/detail/pointer_set.h"

namespace kstv::host {
namespace {

class Blocks {
 public:
  void add(void* block) {
    std::lock_guard guard(lock_);
    live_.insert(block);
  }
  bool remove(void* block) {
    std::lock_guard guard(lock_);
    return live_.erase(block);
  }
  std::size_t count() {
    std::lock_guard guard(lock_);
    return live_.size();
  }

 private:
  std::mutex lock_;
  detail::PointerSet live_;
};

// Never destroyed: a thread may still allocate or free while the process ends (a card
// monitor's handler probing a volume), as Windows keeps its heaps until then.
Blocks& localBlocks() {
  static Blocks* const blocks = new Blocks;
  return *blocks;
}

Blocks& taskBlocks() {
  static Blocks* const blocks = new Blocks;
  return *blocks;
}

Blocks& heapBlocks() {
  static Blocks* const blocks = new Blocks;
  return *blocks;
}

HANDLE const kProcessHeap = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7E0000));

}  // namespace

std::size_t liveLocalAllocations() { return localBlocks().count(); }
std::size_t liveTaskAllocations() { return taskBlocks().count(); }
std::size_t liveHeapAllocations() { return heapBlocks().count(); }

}  // namespace kstv::host

using kstv::host::detail::injectedFailure;

HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes) {
  if (auto code = injectedFailure("LocalAlloc")) {
    SetLastError(*code);
    return nullptr;
  }
  void* block =
      (flags & LMEM_ZEROINIT) ? std::calloc(1, bytes ? bytes : 1) : std::malloc(bytes ? bytes : 1);
  if (!block) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  kstv::host::localBlocks().add(block);
  return block;
}

HLOCAL WINAPI LocalFree(HLOCAL memory) {
  if (!memory) return nullptr;
  if (!kstv::host::localBlocks().remove(memory)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return memory;
  }
  std::free(memory);
  return nullptr;
}

LPVOID WINAPI CoTaskMemAlloc(SIZE_T size) {
  if (injectedFailure("CoTaskMemAlloc")) return nullptr;
  void* block = std::malloc(size ? size : 1);
  if (block) kstv::host::taskBlocks().add(block);
  return block;
}

LPVOID WINAPI CoTaskMemRealloc(LPVOID block, SIZE_T size) {
  if (injectedFailure("CoTaskMemRealloc")) return nullptr;
  if (!block) return CoTaskMemAlloc(size);
  if (!kstv::host::taskBlocks().remove(block)) return nullptr;
  void* grown = std::realloc(block, size ? size : 1);
  kstv::host::taskBlocks().add(grown ? grown : block);  // a failed realloc keeps the old block
  return grown;
}

void WINAPI CoTaskMemFree(LPVOID block) {
  if (block && kstv::host::taskBlocks().remove(block)) std::free(block);
}

LONG WINAPI InterlockedIncrement(LONG volatile* addend) {
  return __atomic_add_fetch(addend, 1, __ATOMIC_SEQ_CST);
}

LONG WINAPI InterlockedDecrement(LONG volatile* addend) {
  return __atomic_sub_fetch(addend, 1, __ATOMIC_SEQ_CST);
}

HANDLE WINAPI GetProcessHeap() { return kstv::host::kProcessHeap; }

LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
  if (heap != kstv::host::kProcessHeap || injectedFailure("HeapAlloc")) return nullptr;
  void* block = (flags & HEAP_ZERO_MEMORY) ? std::calloc(1, bytes ? bytes : 1)
                                           : std::malloc(bytes ? bytes : 1);
  if (block) kstv::host::heapBlocks().add(block);
  return block;
}

LPVOID WINAPI HeapReAlloc(HANDLE heap, DWORD, LPVOID block, SIZE_T bytes) {
  if (heap != kstv::host::kProcessHeap || !block || injectedFailure("HeapReAlloc")) return nullptr;
  if (!kstv::host::heapBlocks().remove(block)) return nullptr;
  void* grown = std::realloc(block, bytes ? bytes : 1);
  kstv::host::heapBlocks().add(grown ? grown : block);  // a failed resize keeps the old block
  return grown;
}

BOOL WINAPI HeapFree(HANDLE heap, DWORD, LPVOID block) {
  if (!block) return TRUE;
  if (heap != kstv::host::kProcessHeap || !kstv::host::heapBlocks().remove(block)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::free(block);
  return TRUE;
}

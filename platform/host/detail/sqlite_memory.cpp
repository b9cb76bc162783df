#include "platform/host/detail/sqlite_memory.h"

#include <sqlite3.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace kstv::host::detail {
namespace {

// Blocks of 16 bytes to 64 KiB in powers of two come from the pool; larger ones from
// malloc. Each block starts with a header that keeps the payload 16-byte aligned and
// says how large the block is.
constexpr int kClasses = 13;
constexpr std::size_t kSmallest = 16;
constexpr std::size_t kLargestPooled = kSmallest << (kClasses - 1);
constexpr std::size_t kHeader = 16;

struct Header {
  std::size_t capacity;  // payload bytes
};

struct Pool {
  std::mutex lock;
  void* freeBlocks[kClasses] = {};  // each free payload holds the next one's address
};

// Never destroyed: SQLite may free blocks during static destruction.
Pool& pool() {
  static auto* instance = new Pool;
  return *instance;
}

int classOf(std::size_t size) {
  int index = 0;
  while ((kSmallest << index) < size) ++index;
  return index;
}

std::size_t rounded(std::size_t size) {
  if (size <= kLargestPooled) return kSmallest << classOf(size);
  return (size + 7) & ~static_cast<std::size_t>(7);
}

Header* headerOf(void* payload) {
  return reinterpret_cast<Header*>(static_cast<char*>(payload) - kHeader);
}

void* allocate(int requested) {
  if (requested <= 0) return nullptr;
  std::size_t capacity = rounded(static_cast<std::size_t>(requested));
  if (capacity <= kLargestPooled) {
    Pool& blocks = pool();
    std::lock_guard<std::mutex> guard(blocks.lock);
    void*& head = blocks.freeBlocks[classOf(capacity)];
    if (head) {
      void* payload = head;
      std::memcpy(&head, payload, sizeof head);
      return payload;
    }
  }
  auto* block = static_cast<char*>(std::malloc(kHeader + capacity));
  if (!block) return nullptr;
  reinterpret_cast<Header*>(block)->capacity = capacity;
  return block + kHeader;
}

void release(void* payload) {
  if (!payload) return;
  std::size_t capacity = headerOf(payload)->capacity;
  if (capacity > kLargestPooled) {
    std::free(headerOf(payload));
    return;
  }
  Pool& blocks = pool();
  std::lock_guard<std::mutex> guard(blocks.lock);
  void*& head = blocks.freeBlocks[classOf(capacity)];
  std::memcpy(payload, &head, sizeof head);
  head = payload;
}

int sizeOf(void* payload) { return static_cast<int>(headerOf(payload)->capacity); }

void* reallocate(void* payload, int requested) {
  if (!payload) return allocate(requested);
  if (static_cast<std::size_t>(requested) <= headerOf(payload)->capacity) return payload;
  void* larger = allocate(requested);
  if (!larger) return nullptr;
  std::memcpy(larger, payload, headerOf(payload)->capacity);
  release(payload);
  return larger;
}

int roundUp(int size) { return static_cast<int>(rounded(static_cast<std::size_t>(size))); }
int start(void*) { return SQLITE_OK; }
void stop(void*) {}

}  // namespace

void useSqliteBlockPool() {
  static const sqlite3_mem_methods methods = {allocate, release, reallocate, sizeOf,
                                              roundUp,  start,   stop,       nullptr};
  // Refused (and harmless) once SQLite is initialised: it then keeps its own allocator.
  sqlite3_config(SQLITE_CONFIG_MALLOC, &methods);
}

}  // namespace kstv::host::detail

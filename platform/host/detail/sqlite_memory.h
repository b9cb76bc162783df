// Host build, internal: SQLite's own memory, from free lists that keep blocks for reuse.
#pragma once

namespace kstv::host::detail {

// Gives SQLite the block pool as its allocator; to be called before SQLite's first use.
// Every registry call makes SQLite allocate and free dozens of small blocks; served from
// the pool, they cost a list operation instead of a trip through the process allocator
// (and, in the sanitizer builds, its bookkeeping, which otherwise takes most of a
// fuzzer input's time). SQLite is not the code under test: its blocks need no checking.
void useSqliteBlockPool();

}  // namespace kstv::host::detail

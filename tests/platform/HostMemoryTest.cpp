// The host's allocators count their live blocks, and each frees only its own.
#include <gtest/gtest.h>

#include <vector>

#include "platform/host/control.h"
#include "platform/win32.h"

namespace kstv::test {
namespace {

TEST(HostMemoryTest, ManyBlocksFreedInAnyOrderAreCountedUntilTheLast) {
  const std::size_t before = host::liveHeapAllocations();
  std::vector<void*> blocks;
  auto allocate = [&](int count) {
    for (int i = 0; i < count; ++i) blocks.push_back(HeapAlloc(GetProcessHeap(), 0, 1 + i % 64));
  };
  allocate(3000);
  EXPECT_EQ(before + 3000, host::liveHeapAllocations());
  // Every other block first, so that removals move entries of probe runs back, then
  // enough new ones that the table grows over the entries that were moved.
  std::vector<void*> kept;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    if (i % 2 == 0)
      ASSERT_TRUE(HeapFree(GetProcessHeap(), 0, blocks[i])) << i;
    else
      kept.push_back(blocks[i]);
  }
  EXPECT_EQ(before + 1500, host::liveHeapAllocations());
  blocks = kept;
  allocate(5000);
  EXPECT_EQ(before + 6500, host::liveHeapAllocations());
  for (std::size_t i = blocks.size(); i-- > 0;)
    ASSERT_TRUE(HeapFree(GetProcessHeap(), 0, blocks[i])) << i;
  EXPECT_EQ(before, host::liveHeapAllocations());
}

TEST(HostMemoryTest, ABlockFreedTwiceOrByAnotherAllocatorIsRefused) {
  void* heap = HeapAlloc(GetProcessHeap(), 0, 16);
  void* task = CoTaskMemAlloc(16);
  ASSERT_TRUE(heap && task);
  SetLastError(0);
  EXPECT_FALSE(HeapFree(GetProcessHeap(), 0, task));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, heap));
  EXPECT_FALSE(HeapFree(GetProcessHeap(), 0, heap));
  const std::size_t tasks = host::liveTaskAllocations();
  CoTaskMemFree(task);
  EXPECT_EQ(tasks - 1, host::liveTaskAllocations());
}

}  // namespace
}  // namespace kstv::test

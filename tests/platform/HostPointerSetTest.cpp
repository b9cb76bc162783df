// The set the host's allocators count their live blocks in, against a plain model.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <set>
#include <vector>

#include "platform/host/detail/pointer_set.h"

namespace kstv::test {
namespace {

void* fakeBlock(std::uintptr_t index) { return reinterpret_cast<void*>(0x10000 + 16 * index); }

// Random insertions and removals at a load just under the point where the table grows,
// so that probe runs are long and often wrap past the table's end.
TEST(HostPointerSetTest, RemovalsKeepEveryOtherEntryFindable) {
  host::detail::PointerSet set;
  std::set<void*> model;
  std::mt19937 random(11);
  for (int step = 0; step < 200000; ++step) {
    void* block = fakeBlock(random() % 300);
    const bool present = model.count(block) != 0;
    if (!present && model.size() < 63) {
      set.insert(block);
      model.insert(block);
    } else {
      ASSERT_EQ(present, set.erase(block)) << step;
      model.erase(block);
    }
    ASSERT_EQ(model.size(), set.size()) << step;
  }
  for (void* block : model) EXPECT_TRUE(set.erase(block));
  EXPECT_EQ(0u, set.size());
}

TEST(HostPointerSetTest, GrowingKeepsEveryEntry) {
  host::detail::PointerSet set;
  for (std::uintptr_t i = 0; i < 5000; ++i) set.insert(fakeBlock(i));
  EXPECT_FALSE(set.erase(fakeBlock(5000)));
  EXPECT_FALSE(set.erase(nullptr));
  for (std::uintptr_t i = 0; i < 5000; ++i) ASSERT_TRUE(set.erase(fakeBlock(i))) << i;
  EXPECT_FALSE(set.erase(fakeBlock(0)));
  EXPECT_EQ(0u, set.size());
}

}  // namespace
}  // namespace kstv::test

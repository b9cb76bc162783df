// ReplacementMap: names without regard to case, the earliest pair winning, and growth.
// Runs on the host layer and under Wine.
#include <gtest/gtest.h>

#include <string>

#include "platform/text16.h"
#include "registrar/ReplacementMap.h"

namespace kstv::test {
namespace {

std::string Text(LPCOLESTR text) { return text ? NarrowText(text) : "<null>"; }

TEST(ReplacementMapTest, ANameIsFoundInAnyMixOfCase) {
  ReplacementMap map;
  ASSERT_EQ(S_OK, map.add(KSTV_W("Module"), KSTV_W("C:\\x.exe")));
  EXPECT_EQ("C:\\x.exe", Text(map.lookup("Module")));
  EXPECT_EQ("C:\\x.exe", Text(map.lookup("mODULE")));
  EXPECT_EQ("<null>", Text(map.lookup("Modul")));
}

TEST(ReplacementMapTest, TheEarliestPairOfANameWins) {
  ReplacementMap map;
  ASSERT_EQ(S_OK, map.add(KSTV_W("Name"), KSTV_W("first")));
  ASSERT_EQ(S_OK, map.add(KSTV_W("NAME"), KSTV_W("second")));
  EXPECT_EQ(2, map.count());
  EXPECT_EQ("first", Text(map.lookup("name")));
}

TEST(ReplacementMapTest, TheSlotsDoubleWhenFull) {
  ReplacementMap map;
  EXPECT_EQ(10, map.capacity());
  for (int i = 0; i < 21; ++i) {
    std::string name = std::to_string(i);
    name.insert(0, 1, 'N');  // not "N" + ...: GCC 12 warns wrongly (-Wrestrict) on that
    WideString wide(name.begin(), name.end());
    ASSERT_EQ(S_OK, map.add(wide.c_str(), wide.c_str()));
    EXPECT_EQ(i < 10 ? 10 : i < 20 ? 20 : 40, map.capacity()) << "after " << i + 1 << " pairs";
  }
  EXPECT_EQ("N20", Text(map.lookup("n20")));
}

TEST(ReplacementMapTest, ClearEmptiesTheMapAndKeepsItsSlots) {
  ReplacementMap map;
  for (int i = 0; i < 11; ++i) ASSERT_EQ(S_OK, map.add(KSTV_W("a"), KSTV_W("b")));
  map.clear();
  EXPECT_EQ(0, map.count());
  EXPECT_EQ(20, map.capacity());
  EXPECT_EQ("<null>", Text(map.lookup("a")));
}

}  // namespace
}  // namespace kstv::test

// The probe on the platform's own drives: the system disk and a letter that is not
// there are no cards. Runs on the host layer and under Wine.
#include <gtest/gtest.h>

#include "monitor/CardTypeProbe.h"

namespace kstv::test {
namespace {

TEST(ProbePlatformDrivesTest, TheSystemDiskIsNoCard) {
  EXPECT_EQ(CardType::None, ProbeCardType(KSTV_W("C:")));
}

TEST(ProbePlatformDrivesTest, ALetterWithoutDriveIsNoCard) {
  EXPECT_EQ(CardType::None, ProbeCardType(KSTV_W("Q:")));
}

}  // namespace
}  // namespace kstv::test

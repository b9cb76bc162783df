// The probe on the platform's own drives: the system disk is no card. Runs on the host
// layer and under Wine (the emulated machine's volumes are CardTypeProbeTest's).
#include <gtest/gtest.h>

#include "monitor/CardTypeProbe.h"

namespace kstv::test {
namespace {

TEST(ProbePlatformDrivesTest, TheSystemDiskIsNoCard) {
  EXPECT_EQ(CardType::None, ProbeCardType(KSTV_W("C:")));
}

}  // namespace
}  // namespace kstv::test

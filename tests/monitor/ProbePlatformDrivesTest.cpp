// The probe on the platform's own drives: the system disk is no card. Runs on the host
// layer and under Wine (the emulated machine's volumes are CardTypeProbeTest's).
#include <gtest/gtest.h>

#include "monitor/CardTypeProbe.h"

namespace kstv::test {
namespace {

TEST(ProbePlatformDrivesTest, TheSystemDiskIsNoCard) {
  EXPECT_EQ(CardType::None, ProbeCardType(KSTV_W("C:")));
}

// The probe opens a volume with no access rights, so that nothing mounts its file system:
// that handle still answers the medium check and the storage property query. (Wine says
// of its drives that it cannot tell whether they hold a medium, ERROR_NOT_SUPPORTED,
// which counts as holding one, and gives a descriptor without ids.)
TEST(ProbePlatformDrivesTest, TheSystemDiskOpenedWithoutRightsStillGivesItsDescriptor) {
  const DriveIdentity identity = ProbeDriveIdentity(KSTV_W("C:"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), identity.error);
  EXPECT_STRNE("Kestrova", identity.vendorId);
}

}  // namespace
}  // namespace kstv::test

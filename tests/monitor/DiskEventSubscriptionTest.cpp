// The WMI subscription on the emulated machine: each failure and the state it leaves,
// a clean unsubscribe, and cards inserted and removed with real event delivery.
#include <gtest/gtest.h>

#include <string>

#include "monitor/DiskEventSubscription.h"
#include "tests/support/Badges.h"
#include "tests/support/EmulatedVolumes.h"

namespace kstv::test {
namespace {

constexpr char kQueryFailed[] = "ExecNotificationQueryAsync failed with = 0x80041001\n";

class DiskEventSubscriptionTest : public ::testing::Test {
 protected:
  DiskEventSubscriptionTest()
      : comObjects_(host::liveComObjectCount()), strings_(host::liveBstrCount()) {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    BuildBadgeIconPaths("C:\\Cards\\");
  }
  ~DiskEventSubscriptionTest() override {
    UnsubscribeDiskEvents();
    host::clearFailures();
    CoUninitialize();
    EXPECT_EQ(0u, host::activeNotificationQueries());
    EXPECT_EQ(comObjects_, host::liveComObjectCount()) << "a COM object outlived the subscription";
    EXPECT_EQ(strings_, host::liveBstrCount()) << "a BSTR was not freed";
  }

  // Subscribes and gives what that printed.
  static std::string subscribe(int expected) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(expected, SubscribeDiskEvents());
    return testing::internal::GetCapturedStdout();
  }

  static std::string unsubscribe() {
    testing::internal::CaptureStdout();
    UnsubscribeDiskEvents();
    return testing::internal::GetCapturedStdout();
  }

  OnlySystemDiskAfterwards volumes;
  CleanBadges clean;

 private:
  std::size_t comObjects_;
  std::size_t strings_;
};

TEST_F(DiskEventSubscriptionTest, WithoutWmiNothingIsStartedAndNothingReleased) {
  host::failCall("CoCreateInstance(WbemLocator)", static_cast<DWORD>(REGDB_E_CLASSNOTREG));
  EXPECT_EQ("", subscribe(1));
  EXPECT_EQ(0u, host::activeNotificationQueries());
  EXPECT_EQ("", unsubscribe());
}

TEST_F(DiskEventSubscriptionTest, EachFailureBeforeTheQueriesEndsWithOneAndNoMessage) {
  for (const char* call : {"ConnectServer", "CoSetProxyBlanket",
                           "CoCreateInstance(UnsecuredApartment)", "CreateObjectStub"}) {
    SCOPED_TRACE(call);
    host::failCall(call, static_cast<DWORD>(WBEM_E_FAILED));
    EXPECT_EQ("", subscribe(1));
    EXPECT_EQ(0u, host::activeNotificationQueries());
    host::clearFailures();
    UnsubscribeDiskEvents();
  }
}

TEST_F(DiskEventSubscriptionTest, AFailedCreationQueryIsReported) {
  host::failCall("ExecNotificationQueryAsync", static_cast<DWORD>(WBEM_E_FAILED));
  EXPECT_EQ(kQueryFailed, subscribe(1));
  EXPECT_EQ(0u, host::activeNotificationQueries());
}

TEST_F(DiskEventSubscriptionTest, AFailedDeletionQueryLeavesTheCreationQueryForTheUnsubscribe) {
  host::failCall("ExecNotificationQueryAsync", static_cast<DWORD>(WBEM_E_FAILED), host::kAlways, 1);
  EXPECT_EQ(kQueryFailed, subscribe(1));
  EXPECT_EQ(1u, host::activeNotificationQueries());
  // The cancelled creation query reports its end through the arrival sink.
  EXPECT_EQ("Call complete. hResult = 0x80041032\n", unsubscribe());
  EXPECT_EQ(0u, host::activeNotificationQueries());
}

TEST_F(DiskEventSubscriptionTest, UnsubscribingTwiceDoesNothingTheSecondTime) {
  EXPECT_EQ("", subscribe(0));
  EXPECT_EQ(2u, host::activeNotificationQueries());
  EXPECT_EQ("Call complete. hResult = 0x80041032\nCall complete. hResult = 0x80041032\n",
            unsubscribe());
  EXPECT_EQ("", unsubscribe());
}

TEST_F(DiskEventSubscriptionTest, ACardInsertedAndRemovedGetsItsBadgeAndLosesIt) {
  subscribe(0);
  host::addVolume(cardVolume('E', "SDHC Reader"));
  ASSERT_TRUE(host::waitForDiskEvents());
  EXPECT_EQ("C:\\Cards\\SD\\kicsd.ico", badgeIcon('E'));
  EXPECT_EQ("Secure Digital", badgeLabel('E'));

  testing::internal::CaptureStdout();
  host::removeVolume('E');
  ASSERT_TRUE(host::waitForDiskEvents());
  EXPECT_EQ("Disk removed...\n", testing::internal::GetCapturedStdout());
  EXPECT_FALSE(hasDriveKey('E'));
  EXPECT_EQ(0, BadgedDriveLetter());
}

TEST_F(DiskEventSubscriptionTest, AStickLeftInTheReaderLosesItsBadgeWhenTheServiceStops) {
  subscribe(0);
  host::addVolume(cardVolume('G', "MSPro"));
  ASSERT_TRUE(host::waitForDiskEvents());
  EXPECT_EQ("Memory Stick", badgeLabel('G'));
  unsubscribe();
  EXPECT_FALSE(hasDriveKey('G'));
  EXPECT_EQ(0, BadgedDriveLetter());
}

TEST_F(DiskEventSubscriptionTest, ADiskThatIsNoCardChangesNothing) {
  subscribe(0);
  host::addVolume(plainVolume('H'));
  ASSERT_TRUE(host::waitForDiskEvents());
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kDrivesKey));
}

TEST_F(DiskEventSubscriptionTest, ACardPresentBeforeTheSubscriptionRaisesNoEvent) {
  host::addVolume(cardVolume('E', "SDHC Reader"));
  subscribe(0);
  ASSERT_TRUE(host::waitForDiskEvents());
  EXPECT_FALSE(hasDriveKey('E'));  // the start-up scan's business, not the subscription's
}

}  // namespace
}  // namespace kstv::test

// The badges of a whole run on the emulated machine: what an earlier run left is cleaned at
// the start, every card present is badged, and no badge of the run outlives it, whichever
// road the run ends by.
#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "monitor/DriveBadges.h"
#include "tests/support/Badges.h"
#include "tests/support/EmulatedVolumes.h"
#include "tests/support/RecordedCalls.h"
#include "tests/support/ServiceHarness.h"
#include "tests/support/TestServiceModule.h"

namespace kstv::test {
namespace {

constexpr char kProgramFolder[] = "C:\\Program Files\\Kestrova\\MemoryCard\\";

std::string iconOf(const char* relative) { return std::string(kProgramFolder) + relative; }

class RunBadgesTest : public ::testing::Test {
 protected:
  ~RunBadgesTest() override {
    host::waitForCancelledDeliveries();
    EXPECT_EQ(0u, host::activeNotificationQueries());
  }

  // Starts the program as the service manager would, and waits until both queries stand.
  static std::unique_ptr<ServiceRun> startService() {
    registerAsService();
    host::setStartedByServiceManager(true);
    auto run = std::make_unique<ServiceRun>();
    EXPECT_TRUE(host::waitForServiceState(SERVICE_RUNNING));
    for (int i = 0; i < 1000 && host::activeNotificationQueries() < 2; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(2u, host::activeNotificationQueries());
    return run;
  }

  // Asks the run to stop and waits until it has ended; what the monitor printed is dropped.
  static void stop(ServiceRun& run, DWORD control = SERVICE_CONTROL_STOP) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(static_cast<DWORD>(NO_ERROR), host::sendServiceControl(control));
    EXPECT_EQ(0, run.exitCode());
    testing::internal::GetCapturedStdout();
  }

  static void expectNoDriveKey() {
    for (char letter = 'A'; letter <= 'Z'; ++letter) EXPECT_FALSE(hasDriveKey(letter)) << letter;
  }

  CleanMachine machine;
  CleanBadges badges;
  OnlySystemDiskAfterwards volumes;
};

TEST_F(RunBadgesTest, EveryCardPresentAtTheStartIsBadgedAndTheStopTakesEveryBadge) {
  host::addVolume(cardVolume('E', "SDHC Reader"));
  host::addVolume(cardVolume('F', "MSPro"));
  host::addVolume(cardVolume('G', "xD-Picture"));
  auto run = startService();
  EXPECT_EQ(iconOf("SD\\kicsd.ico,0"), badgeIcon('E'));
  EXPECT_EQ(iconOf("MS\\kicms.ico,0"), badgeIcon('F'));
  EXPECT_EQ(iconOf("XD\\kicxd.ico,0"), badgeIcon('G'));
  host::addVolume(cardVolume('H', "MMCplus"));
  ASSERT_TRUE(host::waitForDiskEvents());
  EXPECT_EQ("MMC", badgeLabel('H'));
  stop(*run);
  expectNoDriveKey();
}

TEST_F(RunBadgesTest, AShutdownTakesEveryBadgeToo) {
  host::addVolume(cardVolume('E', "SDHC Reader"));
  auto run = startService();
  host::addVolume(cardVolume('F', "MSPro"));
  ASSERT_TRUE(host::waitForDiskEvents());
  EXPECT_EQ("Memory Stick", badgeLabel('F'));
  stop(*run, SERVICE_CONTROL_SHUTDOWN);
  expectNoDriveKey();
}

TEST_F(RunBadgesTest, LeftoversOfAnEarlierRunGoAtTheStartAndACardStillInsideIsBadgedAgain) {
  plantBadge('E', iconOf("SD\\KICSD.ICO"));  // its card is still inside
  plantBadge('G', iconOf("MS\\kicms.ico"));  // its card went while no run watched
  plantBadge('H', "C:\\Other Reader\\SD\\kicsd.ico");
  host::addVolume(cardVolume('E', "SDHC Reader"));
  auto run = startService();
  EXPECT_EQ(iconOf("SD\\kicsd.ico,0"), badgeIcon('E'));
  EXPECT_EQ("Secure Digital", badgeLabel('E'));
  EXPECT_FALSE(hasDriveKey('G'));
  EXPECT_EQ("Left behind", badgeLabel('H'));
  stop(*run);
  EXPECT_FALSE(hasDriveKey('E'));
  EXPECT_EQ("Left behind", badgeLabel('H')) << "a key naming another icon was touched";
}

// The stop comes once the scan has badged E: it looks at no further drive.
TEST_F(RunBadgesTest, AStopDuringTheScanTakesTheBadgesTheScanWrote) {
  host::addVolume(cardVolume('E', "SDHC Reader"));
  host::addVolume(cardVolume('F', "MSPro"));
  registerAsService();
  host::setStartedByServiceManager(true);
  host::resetCallCounts();
  RecordingCalls recording;
  bool badgedByTheScan = false;
  host::onCall(
      "RegSetValueExA",
      [&] {
        badgedByTheScan = true;
        host::sendServiceControl(SERVICE_CONTROL_STOP);
      },
      1);  // E's label
  ServiceRun run;
  ASSERT_EQ(0, run.exitCode());
  EXPECT_TRUE(badgedByTheScan);
  EXPECT_EQ(1u, argumentsOf("CreateFileA").size()) << "F was probed";
  EXPECT_EQ(0u, host::callCount("CoCreateInstance(WbemLocator)"));
  expectNoDriveKey();
}

TEST_F(RunBadgesTest, AStopRightAfterTheScanTakesTheBadgesTheScanWrote) {
  host::addVolume(cardVolume('E', "SDHC Reader"));
  host::addVolume(cardVolume('F', "MSPro"));
  registerAsService();
  host::setStartedByServiceManager(true);
  host::resetCallCounts();
  // F's label is the scan's last write.
  host::onCall(
      "RegSetValueExA", [] { host::sendServiceControl(SERVICE_CONTROL_STOP); }, 3);
  ServiceRun run;
  // A scan that writes less never sends that stop: the run is stopped all the same, so
  // that the fault fails this test alone.
  if (!host::waitForServiceState(SERVICE_STOPPED, 5)) {
    ADD_FAILURE() << "the scan did not write both badges";
    testing::internal::CaptureStdout();
    host::sendServiceControl(SERVICE_CONTROL_STOP);
    testing::internal::GetCapturedStdout();
  }
  ASSERT_EQ(0, run.exitCode());
  EXPECT_EQ(4u, host::callCount("RegSetValueExA"));
  EXPECT_EQ(0u, host::callCount("CoCreateInstance(WbemLocator)"));
  expectNoDriveKey();
}

TEST_F(RunBadgesTest, AFailedSubscriptionTakesTheBadgesTheScanWrote) {
  host::addVolume(cardVolume('E', "SDHC Reader"));
  host::addVolume(cardVolume('F', "MSPro"));
  host::failCall("CoCreateInstance(UnsecuredApartment)", static_cast<DWORD>(REGDB_E_CLASSNOTREG));
  registerAsService();
  host::setStartedByServiceManager(true);
  host::resetCallCounts();
  ServiceRun run;
  EXPECT_EQ(static_cast<int>(REGDB_E_CLASSNOTREG), run.exitCode());
  EXPECT_EQ(4u, host::callCount("RegSetValueExA"));
  expectNoDriveKey();
}

TEST_F(RunBadgesTest, AnInProcessRunTakesItsBadgesAtItsEnd) {
  host::addVolume(cardVolume('E', "SDHC Reader"));
  host::addVolume(cardVolume('F', "MSPro"));
  host::failCall("CoCreateInstance(WbemLocator)", static_cast<DWORD>(REGDB_E_CLASSNOTREG));
  InitializedTestServiceModule();
  TestServiceModule().serviceMode = FALSE;
  host::resetCallCounts();
  testing::internal::CaptureStdout();
  TestServiceModule().Run();
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(4u, host::callCount("RegSetValueExA"));
  expectNoDriveKey();
}

TEST_F(RunBadgesTest, ARunRefusedOnAnOldWindowsTouchesNoBadge) {
  plantBadge('E', iconOf("SD\\kicsd.ico"));
  host::addVolume(cardVolume('F', "MSPro"));
  host::setWindowsVersion(6, 1);
  registerAsService();
  host::setStartedByServiceManager(true);
  ServiceRun run;
  EXPECT_EQ(ERROR_OLD_WIN_VERSION, run.exitCode());
  EXPECT_TRUE(hasDriveKey('E'));
  EXPECT_FALSE(hasDriveKey('F'));
}

// An arrival whose batch is still being delivered when the stop cancels the queries (WMI
// does not wait for it) publishes nothing that outlives the run.
TEST_F(RunBadgesTest, AnArrivalStillBeingDeliveredAtTheStopLeavesNoBadge) {
  auto run = startService();
  struct Gate {
    std::mutex lock;
    std::condition_variable changed;
    bool held = false, open = false;
  };
  auto gate = std::make_shared<Gate>();
  host::onCall("CreateFileA", [gate] {
    std::unique_lock guard(gate->lock);
    gate->held = true;
    gate->changed.notify_all();
    gate->changed.wait_for(guard, std::chrono::seconds(5), [&] { return gate->open; });
  });
  host::addVolume(cardVolume('E', "SDHC Reader"));
  {
    std::unique_lock guard(gate->lock);
    ASSERT_TRUE(gate->changed.wait_for(guard, std::chrono::seconds(5), [&] { return gate->held; }));
  }
  // The run ends while the handler is held in its probe; the gate opens a moment later,
  // and what the handler then finds is a closed record.
  auto opener = std::async(std::launch::async, [gate] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::lock_guard guard(gate->lock);
    gate->open = true;
    gate->changed.notify_all();
  });
  stop(*run);
  opener.wait();
  ASSERT_TRUE(host::waitForCancelledDeliveries());
  EXPECT_FALSE(hasDriveKey('E')) << "the arrival's badge outlived the run";
}

}  // namespace
}  // namespace kstv::test

// The service thread's way out: once it has reported STOPPED, the dispatcher returns on
// the first thread and the process ends while the thread may still be leaving, so it must
// touch nothing of the process after that report, not even a lock. Every road that ends
// in that report is taken, with a debug log file and a card badged on the way.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/Badges.h"
#include "tests/support/EmulatedVolumes.h"
#include "tests/support/ServiceHarness.h"

namespace kstv::test {
namespace {

class ServiceExitTest : public ::testing::Test {
 protected:
  ServiceExitTest() {
    std::filesystem::create_directories(
        host::hostPathOf("C:\\Program Files\\Kestrova\\MemoryCard"));
    setDebugLevel(2);
    registerAsService();
    host::setStartedByServiceManager(true);
  }
  ~ServiceExitTest() override {
    host::setStartedByServiceManager(false);
    std::filesystem::remove_all(host::hostPathOf("C:\\Program Files\\Kestrova"));
  }

  // Runs the program under the service manager until it ends by itself or, once it runs,
  // by a stop; the exit code.
  static int runToTheEnd(bool stopWhenRunning) {
    testing::internal::CaptureStdout();
    ServiceRun run;
    if (stopWhenRunning) {
      EXPECT_TRUE(host::waitForServiceState(SERVICE_RUNNING));
      for (int i = 0; i < 1000 && host::activeNotificationQueries() < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      host::addVolume(cardVolume('E', "SDHC Reader"));
      EXPECT_TRUE(host::waitForDiskEvents());
      EXPECT_TRUE(hasDriveKey('E'));
      host::sendServiceControl(SERVICE_CONTROL_STOP);
    }
    const int code = run.exitCode();
    testing::internal::GetCapturedStdout();
    return code;
  }

  CleanMachine machine;
  OnlySystemDiskAfterwards volumes;
};

TEST_F(ServiceExitTest, AStoppedServiceTouchesNothingAfterItsLastReport) {
  EXPECT_EQ(0, runToTheEnd(/*stopWhenRunning=*/true));
  ASSERT_TRUE(host::waitForServiceState(SERVICE_STOPPED));
  EXPECT_EQ(std::vector<std::string>{}, host::callsAfterFinalStop());
}

TEST_F(ServiceExitTest, AServiceWhoseSubscriptionFailedTouchesNothingAfterItsLastReport) {
  host::failCall("CoCreateInstance(UnsecuredApartment)", static_cast<DWORD>(REGDB_E_CLASSNOTREG));
  EXPECT_EQ(static_cast<int>(REGDB_E_CLASSNOTREG), runToTheEnd(/*stopWhenRunning=*/false));
  ASSERT_TRUE(host::waitForServiceState(SERVICE_STOPPED));
  EXPECT_EQ(std::vector<std::string>{}, host::callsAfterFinalStop());
}

TEST_F(ServiceExitTest, AServiceOnAnOldWindowsTouchesNothingAfterItsLastReport) {
  host::setWindowsVersion(6, 1);
  EXPECT_EQ(static_cast<int>(ERROR_OLD_WIN_VERSION), runToTheEnd(/*stopWhenRunning=*/false));
  ASSERT_TRUE(host::waitForServiceState(SERVICE_STOPPED));
  EXPECT_EQ(std::vector<std::string>{}, host::callsAfterFinalStop());
}

}  // namespace
}  // namespace kstv::test

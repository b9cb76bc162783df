// The program run end to end on the emulated machine: the run loop, service control under
// the emulated service manager, and what each leaves behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "monitor/DriveBadges.h"
#include "tests/support/Badges.h"
#include "tests/support/EmulatedVolumes.h"
#include "tests/support/RecordedCalls.h"
#include "tests/support/ServiceHarness.h"

namespace kstv::test {
namespace {

class ServiceRuntimeTest : public ::testing::Test {
 protected:
  ServiceRuntimeTest()
      : registryHandles_(host::openRegistryHandleCount()),
        kernelHandles_(host::openKernelHandleCount()),
        comObjects_(host::liveComObjectCount()),
        heap_(host::liveHeapAllocations()),
        strings_(host::liveBstrCount()) {
    events_ = host::eventLog().size();
    debugger_ = host::debuggerOutput().size();
  }
  ~ServiceRuntimeTest() override {
    EXPECT_EQ(registryHandles_, host::openRegistryHandleCount()) << "a registry key was left open";
    EXPECT_EQ(kernelHandles_, host::openKernelHandleCount()) << "a handle was left open";
    EXPECT_EQ(comObjects_, host::liveComObjectCount()) << "a COM object outlived the run";
    EXPECT_EQ(heap_, host::liveHeapAllocations()) << "a heap block was left";
    EXPECT_EQ(strings_, host::liveBstrCount()) << "a BSTR was left";
    EXPECT_EQ(0, host::comInitializationDepth());
  }

  std::vector<host::Event> newEvents() const {
    auto all = host::eventLog();
    return std::vector<host::Event>(all.begin() + static_cast<long>(events_), all.end());
  }
  std::vector<std::string> newDebuggerLines() const {
    auto all = host::debuggerOutput();
    return std::vector<std::string>(all.begin() + static_cast<long>(debugger_), all.end());
  }

  // Starts the program as the service manager would, and waits until it runs.
  void startService(std::unique_ptr<ServiceRun>& run) {
    registerAsService();
    host::setStartedByServiceManager(true);
    run = std::make_unique<ServiceRun>();
    ASSERT_TRUE(host::waitForServiceState(SERVICE_RUNNING));
    // Running is reported before the scan and the subscription: wait for both queries.
    for (int i = 0; i < 1000 && host::activeNotificationQueries() < 2; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_EQ(2u, host::activeNotificationQueries());
  }

  CleanMachine machine;
  CleanBadges badges;

 private:
  std::size_t registryHandles_, kernelHandles_, comObjects_, heap_, strings_;
  std::size_t events_ = 0, debugger_ = 0;
};

TEST_F(ServiceRuntimeTest, TheModuleFolderKeepsItsTrailingBackslash) {
  host::setModulePath("C:\\Tools\\x.exe");
  host::failCall("CoCreateInstance(WbemLocator)", static_cast<DWORD>(REGDB_E_CLASSNOTREG));
  theServiceModule.Initialize(theClassTable, GetModuleHandleA(nullptr));
  theServiceModule.serviceMode = FALSE;
  theServiceModule.Run();
  EXPECT_STREQ("C:\\Tools\\", theServiceModule.moduleFolder);
}

TEST_F(ServiceRuntimeTest, WindowsSevenIsRefusedWithAnEventAndStopsWithOldWinVersion) {
  host::setWindowsVersion(6, 1);
  registerAsService();
  host::setStartedByServiceManager(true);
  ServiceRun run;
  EXPECT_EQ(ERROR_OLD_WIN_VERSION, run.exitCode());
  EXPECT_EQ((std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_STOPPED}), reportedStates());
  EXPECT_EQ(static_cast<DWORD>(ERROR_OLD_WIN_VERSION),
            host::serviceStatusReports().back().dwWin32ExitCode);
  auto events = newEvents();
  ASSERT_EQ(1u, events.size());
  EXPECT_EQ(EVENTLOG_ERROR_TYPE, events[0].type);
  EXPECT_EQ(std::vector<std::string>{"Service is not applicable for this OS."}, events[0].strings);
  EXPECT_EQ(0, host::comInitializationDepth());
}

TEST_F(ServiceRuntimeTest, InProcessWindowsSevenIsRefusedOnStandardOutputWithOldWinVersion) {
  host::setWindowsVersion(6, 1);
  registerAsService();  // but not started by the manager
  testing::internal::CaptureStdout();
  ServiceRun run;
  EXPECT_EQ(ERROR_OLD_WIN_VERSION, run.exitCode());
  EXPECT_EQ("Service is not applicable for this OS.\n", testing::internal::GetCapturedStdout());
  EXPECT_TRUE(newEvents().empty());
  EXPECT_TRUE(reportedStates().empty());
}

TEST_F(ServiceRuntimeTest, WindowsEightIsAccepted) {
  theServiceModule.Initialize(theClassTable, GetModuleHandleA(nullptr));
  host::setWindowsVersion(6, 2);
  EXPECT_TRUE(theServiceModule.IsSupportedOperatingSystem());
  host::setWindowsVersion(6, 1);
  EXPECT_FALSE(theServiceModule.IsSupportedOperatingSystem());
  host::setWindowsVersion(5, 9);
  EXPECT_FALSE(theServiceModule.IsSupportedOperatingSystem());
}

TEST_F(ServiceRuntimeTest, AVersionThatCannotBeReadRefusesTheRunWithADebugLine) {
  setDebugLevel(1);
  theServiceModule.Initialize(theClassTable, GetModuleHandleA(nullptr));
  theServiceModule.OpenDebugLog();
  host::failCall("GetVersionExA", ERROR_ACCESS_DENIED, 2);
  EXPECT_FALSE(theServiceModule.IsSupportedOperatingSystem());
  EXPECT_EQ(std::vector<std::string>{"KstvCardReader: GetVersionEx failed(5)\n"},
            newDebuggerLines());
  host::failCall("GetVersionExA", ERROR_ACCESS_DENIED, 1);  // the basic record still works
  EXPECT_TRUE(theServiceModule.IsSupportedOperatingSystem());
}

TEST_F(ServiceRuntimeTest, AFailedSubscriptionStopsWithAnErrorEventAndItsHresult) {
  setDebugLevel(3);
  host::failCall("CoCreateInstance(WbemLocator)", static_cast<DWORD>(REGDB_E_CLASSNOTREG));
  registerAsService();
  host::setStartedByServiceManager(true);
  ServiceRun run;
  EXPECT_EQ(static_cast<int>(REGDB_E_CLASSNOTREG), run.exitCode());
  EXPECT_EQ((std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOPPED}),
            reportedStates());
  const SERVICE_STATUS stopped = host::serviceStatusReports().back();
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR), stopped.dwWin32ExitCode);
  EXPECT_EQ(static_cast<DWORD>(REGDB_E_CLASSNOTREG), stopped.dwServiceSpecificExitCode);
  auto events = newEvents();
  ASSERT_EQ(1u, events.size());
  EXPECT_EQ(EVENTLOG_ERROR_TYPE, events[0].type);
  EXPECT_EQ(std::vector<std::string>{"Couldn't subscribe to disk events (0x80040154)"},
            events[0].strings);
  EXPECT_EQ(std::vector<std::string>{"KstvCardReader: Couldn't subscribe to disk events "
                                     "(0x80040154)\n"},
            newDebuggerLines());
  EXPECT_TRUE(host::comSecurityInitialized());
}

TEST_F(ServiceRuntimeTest, InProcessAFailedSubscriptionEndsWithItsHresultOnStandardOutput) {
  host::failCall("CoCreateInstance(UnsecuredApartment)", static_cast<DWORD>(REGDB_E_CLASSNOTREG));
  registerAsService();
  testing::internal::CaptureStdout();
  ServiceRun run;  // in-process: the HRESULT is the exit code, the report on standard output
  EXPECT_EQ(static_cast<int>(REGDB_E_CLASSNOTREG), run.exitCode());
  EXPECT_EQ("Couldn't subscribe to disk events (0x80040154)\n",
            testing::internal::GetCapturedStdout());
  EXPECT_TRUE(newEvents().empty());
}

TEST_F(ServiceRuntimeTest, ACardIsBadgedWhileRunningAndTheStopTakesItsBadge) {
  std::filesystem::create_directories(host::hostPathOf("C:\\Program Files\\Kestrova\\MemoryCard"));
  setDebugLevel(2);
  std::unique_ptr<ServiceRun> run;
  startService(run);
  host::addVolume(cardVolume('E', "SDHC Reader"));
  ASSERT_TRUE(host::waitForDiskEvents());
  EXPECT_EQ("C:\\Program Files\\Kestrova\\MemoryCard\\SD\\kicsd.ico", badgeIcon('E'));

  testing::internal::CaptureStdout();
  EXPECT_EQ(static_cast<DWORD>(NO_ERROR), host::sendServiceControl(SERVICE_CONTROL_STOP));
  EXPECT_EQ(0, run->exitCode());
  testing::internal::GetCapturedStdout();
  EXPECT_FALSE(hasDriveKey('E'));
  auto reports = host::serviceStatusReports();
  std::vector<DWORD> states;
  for (const SERVICE_STATUS& status : reports) {
    states.push_back(status.dwCurrentState);
    EXPECT_EQ(0u, status.dwWin32ExitCode);
    EXPECT_EQ(0u, status.dwCheckPoint);
    EXPECT_EQ(0u, status.dwWaitHint);
    EXPECT_EQ(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN, status.dwControlsAccepted);
  }
  EXPECT_EQ((std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOP_PENDING,
                                SERVICE_STOPPED}),
            states);
  std::ifstream log(host::hostPathOf(kLogFile));
  std::stringstream text;
  text << log.rdbuf();
  EXPECT_EQ("KstvCardReader: Handler() SERVICE_CONTROL_STOP post WM_QUIT\n", text.str());
}

TEST_F(ServiceRuntimeTest, ACardPresentAtTheStartIsBadgedBeforeTheSubscriptionsExist) {
  host::addVolume(cardVolume('F', "xD-Picture"));
  RecordingCalls recording;
  std::unique_ptr<ServiceRun> run;
  startService(run);
  EXPECT_EQ("C:\\Program Files\\Kestrova\\MemoryCard\\XD\\kicxd.ico", badgeIcon('F'));
  EXPECT_EQ("xD Picture", badgeLabel('F'));
  std::vector<std::string> order;
  for (const host::RecordedCall& call : host::recordedCalls()) {
    bool badgeValue = call.call == "RegSetValueExA" && call.arguments[0] == "null";
    if (badgeValue || call.call == "ExecNotificationQueryAsync") order.push_back(call.call);
  }
  EXPECT_EQ((std::vector<std::string>{"RegSetValueExA", "RegSetValueExA",
                                      "ExecNotificationQueryAsync", "ExecNotificationQueryAsync"}),
            order);

  testing::internal::CaptureStdout();
  EXPECT_EQ(static_cast<DWORD>(NO_ERROR), host::sendServiceControl(SERVICE_CONTROL_STOP));
  EXPECT_EQ(0, run->exitCode());
  testing::internal::GetCapturedStdout();
  EXPECT_FALSE(hasDriveKey('F'));
}

TEST_F(ServiceRuntimeTest, TheControlTableAnswersEachRequest) {
  setDebugLevel(1);
  std::unique_ptr<ServiceRun> run;
  startService(run);
  EXPECT_EQ(static_cast<DWORD>(NO_ERROR), host::sendServiceControl(SERVICE_CONTROL_INTERROGATE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED),
            host::sendServiceControl(SERVICE_CONTROL_PAUSE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED),
            host::sendServiceControl(SERVICE_CONTROL_CONTINUE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED), host::sendServiceControl(200));
  EXPECT_EQ((std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_RUNNING}),
            reportedStates());
  auto events = newEvents();
  ASSERT_EQ(1u, events.size());
  EXPECT_EQ(EVENTLOG_WARNING_TYPE, events[0].type);
  EXPECT_EQ(std::vector<std::string>{"Bad service request"}, events[0].strings);

  testing::internal::CaptureStdout();
  EXPECT_EQ(static_cast<DWORD>(NO_ERROR), host::sendServiceControl(SERVICE_CONTROL_SHUTDOWN));
  EXPECT_EQ(0, run->exitCode());
  testing::internal::GetCapturedStdout();
  auto lines = newDebuggerLines();
  EXPECT_NE(lines.end(),
            std::find(lines.begin(), lines.end(),
                      "KstvCardReader: Handler() SERVICE_CONTROL_SHUTDOWN post WM_QUIT\n"));
  EXPECT_EQ(SERVICE_STOPPED, reportedStates().back());
}

TEST_F(ServiceRuntimeTest, AHandlerThatCannotBeRegisteredEndsTheServiceUnreported) {
  host::failCall("RegisterServiceCtrlHandlerExA", ERROR_ACCESS_DENIED);
  registerAsService();
  host::setStartedByServiceManager(true);
  ServiceRun run;
  EXPECT_EQ(0, run.exitCode());
  EXPECT_TRUE(reportedStates().empty());
  auto events = newEvents();
  ASSERT_EQ(1u, events.size());
  EXPECT_EQ(std::vector<std::string>{"Handler not installed"}, events[0].strings);
  EXPECT_FALSE(host::comSecurityInitialized());  // Run never ran
}

TEST_F(ServiceRuntimeTest, AStopRequestedAtOnceAfterTheStartAlwaysEndsTheRun) {
  registerAsService();
  host::setStartedByServiceManager(true);
  testing::internal::CaptureStdout();
  for (int attempt = 0; attempt < 40; ++attempt) {
    SCOPED_TRACE(attempt);
    host::clearServiceReports();
    ServiceRun run;
    ASSERT_TRUE(host::waitForServiceState(SERVICE_START_PENDING));
    host::sendServiceControl(SERVICE_CONTROL_STOP);  // the run thread may not even exist yet
    ASSERT_EQ(0, run.exitCode());
    host::resetComSecurity();
  }
  testing::internal::GetCapturedStdout();
}

}  // namespace
}  // namespace kstv::test

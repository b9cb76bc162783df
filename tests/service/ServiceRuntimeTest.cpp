// The program run end to end on the emulated machine: the run loop, service control under
// the emulated service manager, and what each leaves behind.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "monitor/DriveBadges.h"
#include "platform/handles.h"
#include "service/TokenSecurityDescriptor.h"
#include "tests/support/Badges.h"
#include "tests/support/EmulatedVolumes.h"
#include "tests/support/RecordedCalls.h"
#include "tests/support/ServiceHarness.h"
#include "tests/support/TestServiceModule.h"

namespace kstv::test {
namespace {

// What a file on drive C: holds.
std::string fileText(const char* windowsPath) {
  std::ifstream file(host::hostPathOf(windowsPath), std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

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

  // Runs Run on this thread in-process, without WMI, so that it ends at once; its report
  // of the failed subscription goes to standard output and is dropped.
  static void runInProcessWithoutWmi() {
    host::failCall("CoCreateInstance(WbemLocator)", static_cast<DWORD>(REGDB_E_CLASSNOTREG));
    InitializedTestServiceModule();
    TestServiceModule().serviceMode = FALSE;
    testing::internal::CaptureStdout();
    TestServiceModule().Run();
    testing::internal::GetCapturedStdout();
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
  runInProcessWithoutWmi();
  EXPECT_STREQ("C:\\Tools\\", TestServiceModule().moduleFolder);
  // A folder the ANSI calls cannot name is none: its look-alike names another.
  host::setModulePathUtf8("C:\\Tools \u03A9mega\\x.exe");
  runInProcessWithoutWmi();
  EXPECT_STREQ("", TestServiceModule().moduleFolder);
  EXPECT_STREQ("", BadgeIconPath(CardType::SD));
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
  InitializedTestServiceModule();
  host::setWindowsVersion(6, 2);
  EXPECT_TRUE(TestServiceModule().IsSupportedOperatingSystem());
  host::setWindowsVersion(6, 1);
  EXPECT_FALSE(TestServiceModule().IsSupportedOperatingSystem());
  host::setWindowsVersion(5, 9);
  EXPECT_FALSE(TestServiceModule().IsSupportedOperatingSystem());
}

TEST_F(ServiceRuntimeTest, AVersionThatCannotBeReadRefusesTheRunWithADebugLine) {
  setDebugLevel(1);
  InitializedTestServiceModule();
  TestServiceModule().OpenDebugLog();
  host::failCall("GetVersionExA", ERROR_ACCESS_DENIED, 2);
  EXPECT_FALSE(TestServiceModule().IsSupportedOperatingSystem());
  EXPECT_EQ(std::vector<std::string>{"KstvCardReader: GetVersionEx failed(5)\n"},
            newDebuggerLines());
  RecordingCalls recording;
  host::failCall("GetVersionExA", ERROR_ACCESS_DENIED, 1);  // the basic record still works
  EXPECT_TRUE(TestServiceModule().IsSupportedOperatingSystem());
  // The extended record first, then the basic one (156 and 148 bytes).
  EXPECT_EQ((ArgumentLists{{"0x9C"}, {"0x94"}}), argumentsOf("GetVersionExA"));
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
  EXPECT_EQ("C:\\Program Files\\Kestrova\\MemoryCard\\SD\\kicsd.ico,0", badgeIcon('E'));

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
    EXPECT_EQ(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN, status.dwControlsAccepted);
  }
  // The stop's check point goes up as the run leaves its loop and cancels its queries.
  EXPECT_EQ((std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOP_PENDING,
                                SERVICE_STOP_PENDING, SERVICE_STOP_PENDING, SERVICE_STOPPED}),
            states);
  EXPECT_EQ((std::vector<DWORD>{1, 2, 3}), stopCheckPoints());
  std::ifstream log(host::hostPathOf(kLogFile));
  std::stringstream text;
  text << log.rdbuf();
  EXPECT_EQ("KstvCardReader: Handler() SERVICE_CONTROL_STOP post WM_QUIT\n", text.str());
}

// A second start while the service runs (by hand or by COM: the dispatcher refuses it and
// it runs as a plain process, with a record of its own as in a process of its own).
TEST_F(ServiceRuntimeTest, ASecondRunWhileTheServiceRunsEndsAtOnceTouchingNeitherBadgesNorLog) {
  std::filesystem::create_directories(host::hostPathOf("C:\\Program Files\\Kestrova\\MemoryCard"));
  setDebugLevel(2);
  host::addVolume(cardVolume('E', "SDHC Reader"));
  host::addVolume(cardVolume('H', "MMCplus"));
  std::unique_ptr<ServiceRun> run;
  startService(run);
  std::ofstream(host::hostPathOf(kLogFile), std::ios::app) << "the service's line\n";
  // Were the second run to monitor, its subscription would fail and end it at once.
  host::failCall("CoCreateInstance(WbemLocator)", static_cast<DWORD>(REGDB_E_CLASSNOTREG));
  auto* second = new ServiceModule{};
  second->serviceMode = FALSE;
  std::strcpy(second->serviceName, "KstvCardReader");
  second->logFile = INVALID_HANDLE_VALUE;
  testing::internal::CaptureStdout();
  auto secondRun = std::async(std::launch::async, [second] { second->Run(); });
  const bool ended = secondRun.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  const std::string printed = testing::internal::GetCapturedStdout();
  host::clearFailures();
  if (!ended) new std::future<void>(std::move(secondRun));  // left to itself, with its record
  ASSERT_TRUE(ended) << "the second run did not end";
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING), second->status.dwWin32ExitCode);
  delete second;
  const std::string refusal =
      "KstvCardReader is already monitoring the card reader on this machine; this run ends.";
  EXPECT_EQ(refusal + "\n", printed);
  auto events = newEvents();  // a plain process has no console: the event log says it too
  ASSERT_EQ(1u, events.size());
  EXPECT_EQ(EVENTLOG_WARNING_TYPE, events[0].type);
  EXPECT_EQ(std::vector<std::string>{refusal}, events[0].strings);
  EXPECT_EQ("Secure Digital", badgeLabel('E'));
  EXPECT_EQ("MMC", badgeLabel('H'));
  EXPECT_EQ("the service's line\n", fileText(kLogFile));

  // Once the service has stopped, a new run starts and monitors as before.
  testing::internal::CaptureStdout();
  EXPECT_EQ(static_cast<DWORD>(NO_ERROR), host::sendServiceControl(SERVICE_CONTROL_STOP));
  EXPECT_EQ(0, run->exitCode());
  testing::internal::GetCapturedStdout();
  EXPECT_FALSE(hasDriveKey('E'));
  host::clearServiceReports();
  startService(run);
  EXPECT_EQ("Secure Digital", badgeLabel('E'));
  EXPECT_EQ("MMC", badgeLabel('H'));
  testing::internal::CaptureStdout();
  EXPECT_EQ(static_cast<DWORD>(NO_ERROR), host::sendServiceControl(SERVICE_CONTROL_STOP));
  EXPECT_EQ(0, run->exitCode());
  testing::internal::GetCapturedStdout();
}

// A user without administrator rights may not make sections in the global namespace, nor
// open the service's, and a run that cannot make sure it is alone does not monitor: it
// touches nothing.
TEST_F(ServiceRuntimeTest, ARunThatMayNotClaimTheMachinesMonitorEndsWithItsErrorTouchingNothing) {
  std::filesystem::remove_all(host::hostPathOf("C:\\Program Files\\Kestrova"));
  std::filesystem::create_directories(host::hostPathOf("C:\\Program Files\\Kestrova\\MemoryCard"));
  std::ofstream(host::hostPathOf(kLogFile)) << "an earlier run's line\n";
  std::ofstream(host::hostPathOf(kPreviousLogFile)) << "the one before\n";
  setDebugLevel(2);
  plantBadge('G', "C:\\Program Files\\Kestrova\\MemoryCard\\SD\\kicsd.ico");
  host::addVolume(cardVolume('E', "SDHC Reader"));
  host::refuseGlobalObjects(true);
  host::failCall("CoCreateInstance(WbemLocator)", static_cast<DWORD>(REGDB_E_CLASSNOTREG));
  registerAsService();  // but started by a user, not by the manager
  testing::internal::CaptureStdout();
  ServiceRun run;
  EXPECT_EQ(ERROR_ACCESS_DENIED, run.exitCode());
  const std::string refusal =
      "Couldn't make sure that no other run monitors the card reader (error 5); this run ends. "
      "Only the service or an administrator can run it.";
  EXPECT_EQ(refusal + "\n", testing::internal::GetCapturedStdout());
  auto events = newEvents();
  ASSERT_EQ(1u, events.size());
  EXPECT_EQ(EVENTLOG_ERROR_TYPE, events[0].type);
  EXPECT_EQ(std::vector<std::string>{refusal}, events[0].strings);
  EXPECT_TRUE(hasDriveKey('G'));
  EXPECT_FALSE(hasDriveKey('E'));
  EXPECT_EQ("an earlier run's line\n", fileText(kLogFile));
  EXPECT_EQ("the one before\n", fileText(kPreviousLogFile));
}

// Any user may make a mutex of the claim's name in the global namespace, though not the
// section the claim is: holding the name so says nothing of another run, and must not keep
// the service from monitoring.
TEST_F(ServiceRuntimeTest, AUsersObjectHoldingTheClaimsNameDoesNotKeepTheServiceFromMonitoring) {
  UniqueHandle squatter(CreateMutexA(nullptr, FALSE, "Global\\KstvCardReader.CardMonitor"));
  ASSERT_TRUE(squatter);
  host::addVolume(cardVolume('E', "SDHC Reader"));
  std::unique_ptr<ServiceRun> run;
  startService(run);
  EXPECT_EQ("Secure Digital", badgeLabel('E'));
  auto events = newEvents();
  ASSERT_EQ(1u, events.size());
  EXPECT_EQ(EVENTLOG_WARNING_TYPE, events[0].type);
  testing::internal::CaptureStdout();
  EXPECT_EQ(static_cast<DWORD>(NO_ERROR), host::sendServiceControl(SERVICE_CONTROL_STOP));
  EXPECT_EQ(0, run->exitCode());
  testing::internal::GetCapturedStdout();
  EXPECT_FALSE(hasDriveKey('E'));
}

TEST_F(ServiceRuntimeTest, ACardPresentAtTheStartIsBadgedBeforeTheSubscriptionsExist) {
  host::addVolume(cardVolume('F', "xD-Picture"));
  RecordingCalls recording;
  std::vector<DWORD> statesAtScan;
  host::onCall("GetLogicalDriveStringsW", [&] { statesAtScan = reportedStates(); });
  std::unique_ptr<ServiceRun> run;
  startService(run);
  EXPECT_EQ((std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING}), statesAtScan)
      << "RUNNING is reported before the drive scan";
  EXPECT_EQ("C:\\Program Files\\Kestrova\\MemoryCard\\XD\\kicxd.ico,0", badgeIcon('F'));
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

// Any signed-in user may send the codes 128 to 255. A flood of them leaves one warning
// (and one debug line), then at most one an hour that counts those left out; the stop
// counts the rest.
TEST_F(ServiceRuntimeTest, RequestsTheServiceDoesNotKnowCannotFillTheEventLogOrTheDebugLog) {
  setDebugLevel(1);
  std::unique_ptr<ServiceRun> run;
  startService(run);
  for (DWORD i = 0; i < 200; ++i)
    ASSERT_EQ(static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED),
              host::sendServiceControl(128 + i % 128));
  host::useTestClock(true);
  Sleep(60 * 60 * 1000);
  host::useTestClock(false);
  for (int i = 0; i < 4; ++i) host::sendServiceControl(255);
  testing::internal::CaptureStdout();
  host::sendServiceControl(SERVICE_CONTROL_STOP);
  EXPECT_EQ(0, run->exitCode());
  testing::internal::GetCapturedStdout();

  const std::vector<std::string> expected = {
      "Bad service request",
      "Bad service request (199 more since the last report, not reported one by one)",
      "3 more bad service requests since the last report, not reported one by one"};
  std::vector<std::string> reported;
  for (const host::Event& event : newEvents()) {
    EXPECT_EQ(EVENTLOG_WARNING_TYPE, event.type);
    reported.insert(reported.end(), event.strings.begin(), event.strings.end());
  }
  EXPECT_EQ(expected, reported);
  std::vector<std::string> lines;
  for (const std::string& line : newDebuggerLines())
    if (line.find("ad service request") != std::string::npos) lines.push_back(line);
  ASSERT_EQ(expected.size(), lines.size());
  for (std::size_t i = 0; i < lines.size(); ++i)
    EXPECT_EQ("KstvCardReader: " + expected[i] + "\n", lines[i]);
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

// A stop delivered through the control API while the service's run is at each step
// before it would report RUNNING: the run goes to teardown without monitoring anything.
TEST_F(ServiceRuntimeTest, AStopAtEachStepOfTheStartIsNeverFollowedByRunningOrMonitoring) {
  struct Step {
    const char* call;
    unsigned after;
  } steps[] = {{"GetModuleFileNameW", 0},  {"CreateFileMappingA", 0},
               {"RegOpenKeyExA", 2},  // the debug level's key
               {"GetVersionExA", 0},       {"PeekMessageA", 0},
               {"CoInitializeEx", 0},      {"OpenThreadToken", 0},
               {"CoInitializeSecurity", 0}};
  registerAsService();
  host::setStartedByServiceManager(true);
  for (const Step& step : steps) {
    for (DWORD control : {SERVICE_CONTROL_STOP, SERVICE_CONTROL_SHUTDOWN}) {
      SCOPED_TRACE(std::string(step.call) +
                   (control == SERVICE_CONTROL_STOP ? " stop" : " shutdown"));
      host::clearServiceReports();
      host::resetComSecurity();
      host::resetCallCounts();
      DWORD answer = 0;
      host::onCall(
          step.call, [&] { answer = host::sendServiceControl(control); }, step.after);
      ServiceRun run;
      ASSERT_EQ(0, run.exitCode()) << "the run did not end";
      EXPECT_EQ(static_cast<DWORD>(NO_ERROR), answer);
      EXPECT_EQ((std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_STOP_PENDING,
                                    SERVICE_STOP_PENDING, SERVICE_STOP_PENDING, SERVICE_STOPPED}),
                reportedStates());
      EXPECT_EQ((std::vector<DWORD>{1, 2, 3}), stopCheckPoints());
      EXPECT_EQ(0u, host::callCount("GetLogicalDriveStringsW")) << "the drives were scanned";
      EXPECT_EQ(0u, host::callCount("CoCreateInstance(WbemLocator)")) << "WMI was asked";
    }
  }
}

TEST_F(ServiceRuntimeTest, AStopBeforeTheHandleIsStoredIsTheFirstReport) {
  registerAsService();
  host::setStartedByServiceManager(true);
  host::onCall("RegisterServiceCtrlHandlerExA:return",
               [] { host::sendServiceControl(SERVICE_CONTROL_STOP); });
  ServiceRun run;
  ASSERT_EQ(0, run.exitCode());
  EXPECT_EQ((std::vector<DWORD>{SERVICE_STOP_PENDING, SERVICE_STOP_PENDING, SERVICE_STOP_PENDING,
                                SERVICE_STOPPED}),
            reportedStates());
  EXPECT_EQ((std::vector<DWORD>{1, 2, 3}), stopCheckPoints());
  EXPECT_EQ(0u, host::activeNotificationQueries());
}

TEST_F(ServiceRuntimeTest,
       AStopDuringTheDriveScanSkipsTheSubscriptionsAndInterrogationSaysStopPending) {
  registerAsService();
  host::setStartedByServiceManager(true);
  host::resetCallCounts();
  DWORD interrogated = 1;
  host::onCall("GetLogicalDriveStringsW", [&] {
    host::sendServiceControl(SERVICE_CONTROL_STOP);
    interrogated = host::sendServiceControl(SERVICE_CONTROL_INTERROGATE);
  });
  ServiceRun run;
  ASSERT_EQ(0, run.exitCode());
  EXPECT_EQ(static_cast<DWORD>(NO_ERROR), interrogated);
  EXPECT_EQ((std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOP_PENDING,
                                SERVICE_STOP_PENDING, SERVICE_STOP_PENDING, SERVICE_STOP_PENDING,
                                SERVICE_STOPPED}),
            reportedStates());
  EXPECT_EQ((std::vector<DWORD>{1, 1, 2, 3}), stopCheckPoints());  // interrogated: unchanged
  EXPECT_EQ(0u, host::callCount("CoCreateInstance(WbemLocator)"));
}

// Failing cards answer slowly. A stop that comes while the start-up scan probes the first
// of them waits for that probe alone: the others are not probed, and STOPPED comes long
// before the wait hint has passed, well within what the manager, or a reinstallation,
// waits for.
TEST_F(ServiceRuntimeTest, AStopDuringAScanOfSlowCardsEndsWellWithinItsHintProbingNoMoreDrives) {
  constexpr DWORD kAnswer = 250;  // each answer of a card; a probe asks three questions
  for (char letter = 'E'; letter <= 'J'; ++letter) {
    host::Volume slow = cardVolume(letter, "SDHC Reader");
    slow.answerMilliseconds = kAnswer;
    host::addVolume(slow);
  }
  registerAsService();
  host::setStartedByServiceManager(true);
  RecordingCalls recording;
  std::chrono::steady_clock::time_point stopped;
  host::onCall("DeviceIoControl", [&] {  // E's probe has begun
    stopped = std::chrono::steady_clock::now();
    host::sendServiceControl(SERVICE_CONTROL_STOP);
  });
  ServiceRun run;
  ASSERT_EQ(0, run.exitCode());
  const auto took = std::chrono::steady_clock::now() - stopped;
  EXPECT_LT(took, std::chrono::milliseconds(5 * kAnswer)) << "more than E's own probe";
  std::vector<std::string> probed;
  for (const auto& arguments : argumentsOf("CreateFileA")) probed.push_back(arguments[0]);
  EXPECT_EQ(std::vector<std::string>{"\\\\.\\E:"}, probed);
  EXPECT_EQ(SERVICE_STOPPED, reportedStates().back());
  EXPECT_EQ((std::vector<DWORD>{1, 2, 3}), stopCheckPoints());
  for (char letter = 'E'; letter <= 'J'; ++letter) EXPECT_FALSE(hasDriveKey(letter)) << letter;
}

TEST_F(ServiceRuntimeTest, AStopWhoseQuitMessageCannotBePostedStillEndsTheRun) {
  setDebugLevel(1);
  std::unique_ptr<ServiceRun> run;
  startService(run);
  host::failCall("PostThreadMessageA", 1816);  // ERROR_NOT_ENOUGH_QUOTA: the queue is full
  testing::internal::CaptureStdout();
  EXPECT_EQ(static_cast<DWORD>(NO_ERROR), host::sendServiceControl(SERVICE_CONTROL_STOP));
  EXPECT_EQ(0, run->exitCode()) << "the stop was lost";
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(SERVICE_STOPPED, reportedStates().back());
  auto lines = newDebuggerLines();
  EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(),
                                   "KstvCardReader: Handler() PostThreadMessage failed(1816)\n"));
}

TEST_F(ServiceRuntimeTest, AFailedGetMessageEndsTheRunWithItsDebugLine) {
  setDebugLevel(1);
  host::failCall("GetMessageA", ERROR_INVALID_HANDLE, 1);
  registerAsService();
  host::setStartedByServiceManager(true);
  testing::internal::CaptureStdout();
  ServiceRun run;
  EXPECT_EQ(0, run.exitCode());
  testing::internal::GetCapturedStdout();
  EXPECT_EQ((std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOPPED}),
            reportedStates());
  EXPECT_EQ(std::vector<std::string>{"KstvCardReader: Run() GetMessage() failed\n"},
            newDebuggerLines());
}

TEST_F(ServiceRuntimeTest, AFileNameWhoseTrailByteIsABackslashKeepsItsFolder) {
  host::setAnsiCodePage(932);
  host::setModulePath("C:\\Tools\\\x83\x5C.exe");  // katakana "so": lead 0x83, trail 0x5C
  runInProcessWithoutWmi();
  host::setAnsiCodePage(1252);
  EXPECT_STREQ("C:\\Tools\\", TestServiceModule().moduleFolder);
}

TEST_F(ServiceRuntimeTest, ComSecurityGetsTheTokensOwnerAndGroupWithPacketLevelAndImpersonation) {
  runInProcessWithoutWmi();
  host::ComSecurityArguments given = host::comSecurityArguments();
  ASSERT_TRUE(given.descriptorGiven);
  PSID user = nullptr, group = nullptr;
  ASSERT_EQ(S_OK, TokenSecurityDescriptor::CopyProcessIdentity(&user, &group));
  const BYTE* userBytes = static_cast<const BYTE*>(user);
  const BYTE* groupBytes = static_cast<const BYTE*>(group);
  EXPECT_EQ(std::vector<BYTE>(userBytes, userBytes + GetLengthSid(user)), given.owner);
  EXPECT_EQ(std::vector<BYTE>(groupBytes, groupBytes + GetLengthSid(group)), given.group);
  HeapFree(GetProcessHeap(), 0, user);
  HeapFree(GetProcessHeap(), 0, group);
  EXPECT_EQ(-1, given.authenticationServiceCount);
  EXPECT_EQ(static_cast<DWORD>(RPC_C_AUTHN_LEVEL_PKT), given.authenticationLevel);
  EXPECT_EQ(static_cast<DWORD>(RPC_C_IMP_LEVEL_IMPERSONATE), given.impersonationLevel);
  EXPECT_EQ(static_cast<DWORD>(EOAC_NONE), given.capabilities);
}

TEST_F(ServiceRuntimeTest, ComSecurityGetsNoDescriptorWhenTheTokenCannotBeRead) {
  host::failCall("OpenProcessToken", ERROR_ACCESS_DENIED);
  runInProcessWithoutWmi();
  EXPECT_TRUE(host::comSecurityInitialized());
  EXPECT_FALSE(host::comSecurityArguments().descriptorGiven);
  EXPECT_EQ(static_cast<DWORD>(RPC_C_AUTHN_LEVEL_PKT),
            host::comSecurityArguments().authenticationLevel);
}

}  // namespace
}  // namespace kstv::test

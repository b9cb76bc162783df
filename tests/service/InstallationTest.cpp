// The registration roads on the emulated machine: RegServer, Service and UnregServer
// leave the AppID values, the service entry and the type library as they should, a road
// that fails leaves the registration that was there before, and the service manager's
// refusals reach the user as message boxes, or the event log where nobody sees a box.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "module/ServiceModule.h"
#include "monitor/MonitorClaim.h"
#include "platform/host/control.h"
#include "service/AppId.h"
#include "service/Entry.h"
#include "service/ProgramLocation.h"
#include "tests/support/Badges.h"
#include "tests/support/FakeService.h"
#include "tests/support/ProgramPath.h"
#include "tests/support/RegistryValues.h"
#include "tests/support/ScratchKey.h"
#include "tests/support/ServiceHarness.h"
#include "tests/support/TestServiceModule.h"
#include "tools/kstvreg/RegExport.h"

namespace kstv::test {
namespace {

constexpr char kAppIdGuidPath[] = "AppID\\{6B1D2E47-3A90-4C5E-9F12-7D84C0A3B5E1}";
constexpr char kLibraryKey[] = "TypeLib\\{2C7E9A15-B4D3-4F08-8E61-5A0F93D7C2B4}";
constexpr char kServiceName[] = "KstvCardReader";
constexpr char kServiceKeyPath[] = "System\\CurrentControlSet\\Services\\KstvCardReader";
// An earlier version, installed in a folder of its own that only administrators may change.
constexpr char kOldProgramPath[] = "C:\\Program Files\\Kestrova\\Old\\KstvCardReader.exe";
constexpr HRESULT kUnsupportedOperatingSystem = static_cast<HRESULT>(0x80110449L);
// The event source, and the message files it names, beside this program and the older one.
constexpr char kEventSourcePath[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\KstvCardReader";
constexpr char kMessageFile[] =
    "C:\\Program Files\\Kestrova\\MemoryCard\\KstvCardReaderMessages.dll";
constexpr char kOldMessageFile[] = "C:\\Program Files\\Kestrova\\Old\\KstvCardReaderMessages.dll";

class InstallationTest : public ::testing::Test {
 protected:
  InstallationTest() {
    host::resetRegistry();
    host::resetServiceManager();
    host::clearServiceReports();
    host::clearMessageBoxes();
    for (const char* file : {kMessageFile, kOldMessageFile}) {
      std::filesystem::create_directories(
          std::filesystem::path(host::hostPathOf(file)).parent_path());
      std::ofstream(host::hostPathOf(file)) << "messages";
    }
    registryHandles_ = host::openRegistryHandleCount();
  }
  ~InstallationTest() override {
    EXPECT_EQ(registryHandles_, host::openRegistryHandleCount()) << "a registry handle leaked";
    EXPECT_EQ(0u, host::openServiceHandleCount()) << "a service handle leaked";
    EXPECT_EQ(0u, host::loadedLibraries());
    host::clearFailures();
    host::clearReadOnlyMarks();
    host::useTestClock(false);
    host::clearServiceReports();
    host::setWindowsVersion(10, 0);
    host::setModulePath(host::kDefaultModulePath);
    host::resetFileSecurity();
    host::resetServiceManager();
    host::clearMessageBoxes();
    host::setModulePath(host::kDefaultModulePath);
    host::resetRegistry();
    std::filesystem::remove_all(host::hostPathOf("C:\\Program Files\\Kestrova"));
  }

  static int run(const char* word) {
    host::setCommandLine(quotedProgramPath() + " " + word);
    testing::internal::CaptureStderr();
    int code = Entry(GetModuleHandleA(nullptr), nullptr, nullptr, SW_SHOWDEFAULT);
    testing::internal::GetCapturedStderr();
    return code;
  }

  static std::optional<std::string> appIdValue(const char* name) {
    return stringValue(HKEY_CLASSES_ROOT, kAppIdGuidPath, name);
  }
  static std::vector<std::string> boxTexts() {
    std::vector<std::string> texts;
    for (const host::MessageBoxShown& box : host::messageBoxes()) {
      EXPECT_EQ(kServiceName, box.caption);
      EXPECT_EQ(MB_OK, box.type);
      EXPECT_FALSE(box.hasOwner);
      texts.push_back(box.text);
    }
    return texts;
  }
  // Nothing of the program's registration: as after UnregServer.
  static void expectNoRegistration() {
    EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kAppIdGuidPath));
    EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, "AppID\\KstvCardReader.EXE"));
    EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kLibraryKey));
    EXPECT_FALSE(host::serviceEntry(kServiceName));
    EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, kEventSourcePath));
  }
  // The run keeps only the privilege every process keeps, and the service has its own SID.
  static void expectLeastPrivilege() {
    EXPECT_EQ(multiStringValue(HKEY_LOCAL_MACHINE, kServiceKeyPath, "RequiredPrivileges"),
              std::vector<std::string>{"SeChangeNotifyPrivilege"});
    EXPECT_EQ(dwordValue(HKEY_LOCAL_MACHINE, kServiceKeyPath, "ServiceSidType"),
              SERVICE_SID_TYPE_UNRESTRICTED);
  }
  // DeleteService on a handle of its own, closed at once, as sc delete does.
  static void deleteEntryAsScDeleteDoes() {
    UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(manager);
    UniqueServiceHandle service(OpenServiceA(manager.get(), kServiceName, DELETE));
    ASSERT_TRUE(service);
    ASSERT_TRUE(DeleteService(service.get()));
  }
  // The whole machine's registry (HKCR and the service entries are below HKLM here).
  static std::string registry() {
    std::string text;
    EXPECT_TRUE(ExportKey(HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE", "", text));
    return text;
  }
  static bool markedForDeletion() {
    return dwordValue(HKEY_LOCAL_MACHINE, kServiceKeyPath, "DeleteFlag").has_value();
  }
  static void addOldService() {
    host::ServiceEntry old;
    old.name = kServiceName;
    old.displayName = "An older installation";
    old.imagePath = kOldProgramPath;
    host::addServiceEntry(old);
  }
  // The whole registration of an older version in another folder, whose entry says other
  // things than this one's: the registration a repair or an upgrade finds.
  static void registerOlderVersion() {
    host::setModulePath(kOldProgramPath);
    ASSERT_EQ(0, run("-Service"));
    host::setModulePath(host::kDefaultModulePath);
    UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    UniqueServiceHandle service(OpenServiceA(manager.get(), kServiceName, SERVICE_ALL_ACCESS));
    ASSERT_TRUE(service);
    ASSERT_TRUE(ChangeServiceConfigA(service.get(), SERVICE_NO_CHANGE, SERVICE_DEMAND_START,
                                     SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, "", nullptr,
                                     nullptr, "An older installation"));
    SERVICE_DESCRIPTIONA description{const_cast<LPSTR>("An older description")};
    ASSERT_TRUE(ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_DESCRIPTION, &description));
    SC_ACTION none{SC_ACTION_NONE, 0};
    SERVICE_FAILURE_ACTIONSA noRecovery{0, nullptr, nullptr, 0, &none};
    ASSERT_TRUE(ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &noRecovery));
    SERVICE_FAILURE_ACTIONS_FLAG flag{FALSE};
    ASSERT_TRUE(ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag));
    SERVICE_SID_INFO noSid{SERVICE_SID_TYPE_NONE};
    ASSERT_TRUE(ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_SERVICE_SID_INFO, &noSid));
    SERVICE_REQUIRED_PRIVILEGES_INFOA everyPrivilege{const_cast<LPSTR>("\0")};
    ASSERT_TRUE(ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO,
                                      &everyPrivilege));
    host::clearMessageBoxes();
  }
  // The program's registration as text: its AppID keys, its type library's key, its
  // service entry's key (with its description, recovery, SID type and privileges) and its
  // event source.
  static std::string registration() {
    std::string text;
    for (const char* path : {kAppIdGuidPath, "AppID\\KstvCardReader.EXE", kLibraryKey})
      ExportKey(HKEY_CLASSES_ROOT, "HKCR", path, text);
    for (const char* path : {kServiceKeyPath, kEventSourcePath})
      ExportKey(HKEY_LOCAL_MACHINE, "HKLM", path, text);
    return text;
  }
  static std::optional<std::string> messageFileNamed() {
    return stringValue(HKEY_LOCAL_MACHINE, kEventSourcePath, "EventMessageFile", REG_EXPAND_SZ);
  }
  // A handle on the entry held by another program, as the Services console holds one.
  static UniqueServiceHandle consoleHandle() {
    UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    return UniqueServiceHandle(OpenServiceA(manager.get(), kServiceName, SERVICE_QUERY_STATUS));
  }
  static bool startService() {
    UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    UniqueServiceHandle service(OpenServiceA(manager.get(), kServiceName, SERVICE_START));
    return service && StartServiceA(service.get(), 0, nullptr);
  }
  // Makes the key at `path` below HKLM (or the key above it) one that opens for reading only.
  static void readOnlyKey(std::string path, bool cutLastName) {
    if (cutLastName) path.erase(path.rfind('\\'));
    UniqueKey key;
    ASSERT_EQ(ERROR_SUCCESS, createKey(HKEY_LOCAL_MACHINE, path.c_str(), KEY_ALL_ACCESS, key));
    key.reset();
    ASSERT_TRUE(host::markKeyReadOnly(HKEY_LOCAL_MACHINE, path.c_str()));
  }
  static DWORD lastState() {
    std::vector<SERVICE_STATUS> reports = host::serviceStatusReports();
    return reports.empty() ? 0 : reports.back().dwCurrentState;
  }

 private:
  std::size_t registryHandles_ = 0;
};

TEST_F(InstallationTest, ServiceRegistersTheAppIdTheTypeLibraryAndAnAutoStartService) {
  EXPECT_EQ(0, run("-Service"));
  EXPECT_EQ("KstvCardReader", appIdValue(kLocalServiceValueName));
  EXPECT_EQ("-Service", appIdValue(kServiceParametersValueName));
  EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, kLibraryKey));

  auto entry = host::serviceEntry(kServiceName);
  ASSERT_TRUE(entry);
  EXPECT_EQ("Kestrova Card Reader Service", entry->displayName);
  EXPECT_EQ(SERVICE_WIN32_OWN_PROCESS, entry->type);
  EXPECT_EQ(SERVICE_AUTO_START, entry->startType);
  EXPECT_EQ(SERVICE_ERROR_NORMAL, entry->errorControl);
  EXPECT_EQ(std::vector<std::string>{"RPCSS"}, entry->dependencies);
  EXPECT_EQ("LocalSystem", entry->account);
  expectLeastPrivilege();
  EXPECT_TRUE(boxTexts().empty());
}

TEST_F(InstallationTest, TheImagePathIsQuotedSoThatItsBlanksCannotSplitIt) {
  ASSERT_EQ(0, run("-Service"));
  auto entry = host::serviceEntry(kServiceName);
  ASSERT_TRUE(entry);
  EXPECT_EQ(quotedProgramPath(), entry->imagePath);
}

TEST_F(InstallationTest, ServiceOverAnExistingServiceStopsItAndChangesItsEntryInPlace) {
  addOldService();
  EXPECT_EQ(0, run("-Service"));
  ASSERT_EQ(1u, host::serviceControlsSent().size());
  EXPECT_EQ(SERVICE_CONTROL_STOP, host::serviceControlsSent()[0].control);
  EXPECT_EQ(0u, host::callCount("DeleteService"));
  EXPECT_EQ(0u, host::callCount("CreateServiceA"));
  auto entry = host::serviceEntry(kServiceName);
  ASSERT_TRUE(entry);
  EXPECT_EQ("Kestrova Card Reader Service", entry->displayName);
  EXPECT_EQ(quotedProgramPath(), entry->imagePath);
  EXPECT_EQ(SERVICE_AUTO_START, entry->startType);
  EXPECT_EQ(std::vector<std::string>{"RPCSS"}, entry->dependencies);
  EXPECT_EQ(stringValue(HKEY_LOCAL_MACHINE, kServiceKeyPath, "Description"),
            "Gives each memory card in Kestrova's card reader its own icon and label in Explorer "
            "while the card is inserted.");
  expectLeastPrivilege();
  EXPECT_TRUE(boxTexts().empty());
}

TEST_F(InstallationTest, ARepairWhileAnotherProgramHoldsTheEntryLeavesAServiceThatStartsAndRuns) {
  ASSERT_EQ(0, run("-Service"));
  FakeService running;
  UniqueServiceHandle console = consoleHandle();
  ASSERT_TRUE(console);
  host::useTestClock(true);  // a deletion left pending would make the road wait its bound
  EXPECT_EQ(0, run("-Service"));
  EXPECT_FALSE(markedForDeletion());
  EXPECT_EQ(SERVICE_STOPPED, lastState()) << "the package starts it";
  EXPECT_TRUE(startService());
  EXPECT_EQ(2, running.runs());
  EXPECT_EQ(SERVICE_RUNNING, lastState());
  EXPECT_EQ(quotedProgramPath(), host::serviceEntry(kServiceName)->imagePath);
  expectLeastPrivilege();
  EXPECT_TRUE(boxTexts().empty());
}

// A road over an earlier registration that fails after it has changed things, by each
// step that can fail late: it ends with that registration, whole, and with its service
// running again if it ran.
TEST_F(InstallationTest, AFailedRoadLeavesTheEarlierRegistrationWholeAndItsServiceAsItWas) {
  struct Case {
    const char* word;
    const char* call;
    DWORD code;
    bool running;
    std::vector<std::string> boxes;
  };
  const DWORD library = static_cast<DWORD>(TYPE_E_REGISTRYACCESS);
  const Case cases[] = {
      {"-Service", "RegisterTypeLib", library, true, {}},
      {"-Service", "RegisterTypeLib", library, false, {}},
      {"-Service", "ChangeServiceConfigA", ERROR_ACCESS_DENIED, true, {"Couldn't change service"}},
      {"-RegServer", "RegisterTypeLib", library, true, {}},
      {"-RegServer", "DeleteService", ERROR_ACCESS_DENIED, true, {"Service could not be deleted"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.word) + " failing at " + c.call + (c.running ? ", running" : ""));
    registerOlderVersion();
    const std::string before = registration();
    std::optional<FakeService> service;
    if (c.running) service.emplace();
    host::failCall(c.call, c.code, 1);
    EXPECT_EQ(static_cast<int>(c.code), run(c.word));
    EXPECT_EQ(before, registration());
    EXPECT_FALSE(markedForDeletion());
    if (c.running) {
      EXPECT_EQ(2, service->runs()) << "started again";
      EXPECT_EQ(SERVICE_RUNNING, lastState());
    }
    EXPECT_EQ(c.boxes, boxTexts());
    service.reset();
    host::clearFailures();
    host::clearMessageBoxes();
    host::clearServiceReports();
    host::resetServiceManager();
    host::resetRegistry();
  }
}

TEST_F(InstallationTest, RegServerAfterServiceRemovesTheServiceAndLocalServiceOnly) {
  ASSERT_EQ(0, run("-Service"));
  EXPECT_EQ(0, run("-RegServer"));
  EXPECT_FALSE(host::serviceEntry(kServiceName));
  EXPECT_FALSE(appIdValue(kLocalServiceValueName));
  EXPECT_EQ("-Service", appIdValue(kServiceParametersValueName));
  EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, kLibraryKey));
}

TEST_F(InstallationTest, UnregServerRemovesEverythingButTheAppIdKey) {
  ASSERT_EQ(0, run("-Service"));
  EXPECT_EQ(0, run("-UnregServer"));
  EXPECT_FALSE(host::serviceEntry(kServiceName));
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kAppIdGuidPath));
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, "AppID\\KstvCardReader.EXE"));
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kLibraryKey));
  EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, kEventSourcePath));
  EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, kAppIdKeyName));
}

// A run killed with its cards inserted left their badges; the next start would sweep
// them, -UnregServer does it now. Another program's badge stays, and so do those of a run
// that still monitors.
TEST_F(InstallationTest, UnregServerRemovesTheBadgesARunLeftButNotAnotherProgramsOrARunningOnes) {
  CleanBadges clean;
  const std::string folder = "C:\\Program Files\\Kestrova\\MemoryCard\\";
  const auto plantBoth = [&] {
    plantBadge('E', folder + "SD\\kicsd.ico,0");
    plantBadge('F', folder + "MS\\kicms.ico");  // as older versions wrote it
    plantBadge('G', "C:\\Other\\card.ico,0");
  };
  plantBoth();
  ASSERT_EQ(0, run("-Service"));
  {
    UniqueHandle runningMonitor;
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), ClaimCardMonitor(runningMonitor));
    EXPECT_EQ(0, run("-UnregServer"));
    EXPECT_TRUE(hasDriveKey('E') && hasDriveKey('F')) << "a running monitor's badges went";
  }
  ASSERT_EQ(0, run("-Service"));
  EXPECT_EQ(0, run("-UnregServer"));
  EXPECT_FALSE(hasDriveKey('E'));
  EXPECT_FALSE(hasDriveKey('F'));
  EXPECT_EQ("C:\\Other\\card.ico,0", badgeIcon('G'));
}

TEST_F(InstallationTest, AFailedCreationIsTheExitCodeAndLeavesNoPartOfTheRegistration) {
  for (DWORD code : {static_cast<DWORD>(ERROR_ACCESS_DENIED),
                     static_cast<DWORD>(ERROR_SERVICE_EXISTS), static_cast<DWORD>(1078)}) {
    SCOPED_TRACE(code);
    host::failCall("CreateServiceA", code, 1);
    EXPECT_EQ(static_cast<int>(code), run("-Service"));
    expectNoRegistration();
    EXPECT_EQ(std::vector<std::string>{"Couldn't create service"}, boxTexts());
    host::clearMessageBoxes();
  }
}

TEST_F(InstallationTest, AFailedServiceOverAnEarlierRegServerLeavesTheRegServerRegistration) {
  ASSERT_EQ(0, run("-RegServer"));
  const std::string before = registration();
  host::failCall("CreateServiceA", ERROR_ACCESS_DENIED, 1);
  EXPECT_EQ(ERROR_ACCESS_DENIED, run("-Service"));
  EXPECT_EQ(before, registration());
  EXPECT_FALSE(host::serviceEntry(kServiceName));
  EXPECT_FALSE(appIdValue(kServiceParametersValueName)) << "the failed road's value is gone";
}

TEST_F(InstallationTest, ATypeLibraryThatCannotBeRegisteredUndoesTheServiceAndTheAppId) {
  host::failCall("RegisterTypeLib", static_cast<DWORD>(TYPE_E_REGISTRYACCESS), 1);
  EXPECT_EQ(TYPE_E_REGISTRYACCESS, run("-Service"));
  expectNoRegistration();
  host::failCall("RegisterTypeLib", static_cast<DWORD>(TYPE_E_REGISTRYACCESS), 1);
  EXPECT_EQ(TYPE_E_REGISTRYACCESS, run("-RegServer"));
  expectNoRegistration();
}

TEST_F(InstallationTest, ADisplayNameAnotherServiceHasLeavesNoPartOfTheRegistration) {
  host::ServiceEntry other;
  other.name = "Other";
  other.displayName = "Kestrova Card Reader Service";
  other.imagePath = "C:\\Other\\other.exe";
  host::addServiceEntry(other);
  EXPECT_EQ(ERROR_DUPLICATE_SERVICE_NAME, run("-Service"));
  expectNoRegistration();
  EXPECT_TRUE(host::serviceEntry("Other")) << "the other service is left alone";
}

TEST_F(InstallationTest, AnUndoneRegistrationSparesAnEntryItDidNotMake) {
  // Another installer makes the entry after the road found none: at the creation, which
  // fails then; or before InstallService looks, which spares it, and the road fails later.
  struct Case {
    const char* makesTheEntry;
    const char* failingCall;
    HRESULT result;
  };
  const Case cases[] = {{"CreateServiceA", nullptr, ERROR_SERVICE_EXISTS},
                        {"RegSetValueExA", "RegisterTypeLib", TYPE_E_REGISTRYACCESS}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.makesTheEntry);
    host::onCall(c.makesTheEntry, [] { addOldService(); });
    if (c.failingCall) host::failCall(c.failingCall, static_cast<DWORD>(c.result), 1);
    EXPECT_EQ(c.result, run("-Service"));
    EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kAppIdGuidPath));
    ASSERT_TRUE(host::serviceEntry(kServiceName));
    EXPECT_EQ(kOldProgramPath, host::serviceEntry(kServiceName)->imagePath);
    EXPECT_FALSE(markedForDeletion());
    host::clearFailures();
    host::resetServiceManager();
  }
}

TEST_F(InstallationTest, AnOldServiceThatNeverStopsKeepsTheOldRegistrationOnEitherRoad) {
  registerOlderVersion();
  const std::string before = registration();
  FakeService old(/*stubborn=*/true);
  host::useTestClock(true);
  for (const char* word : {"-Service", "-RegServer"}) {
    SCOPED_TRACE(word);
    EXPECT_EQ(ERROR_SERVICE_REQUEST_TIMEOUT, run(word));
    EXPECT_EQ(before, registration());
    EXPECT_FALSE(markedForDeletion());
  }
  old.end();
  ASSERT_TRUE(host::waitForServiceState(SERVICE_STOPPED));
  EXPECT_EQ(before, registration());
}

TEST_F(InstallationTest, WithoutAdministratorRightsTheServiceRoadLeavesWhatWasThere) {
  host::refuseServiceManagerFullAccess(true);
  EXPECT_EQ(0, run("-RegServer"));
  EXPECT_TRUE(boxTexts().empty());  // nothing to remove as far as it can tell
  const std::string before = registration();
  EXPECT_EQ(ERROR_ACCESS_DENIED, run("-Service"));
  EXPECT_EQ(std::vector<std::string>{"Couldn't open service manager"}, boxTexts());
  EXPECT_EQ(before, registration());
  host::refuseServiceManagerFullAccess(false);
  ASSERT_EQ(0, run("-UnregServer"));
  host::refuseServiceManagerFullAccess(true);
  EXPECT_EQ(ERROR_ACCESS_DENIED, run("-Service"));
  expectNoRegistration();
}

TEST_F(InstallationTest, OnWindows7NothingIsRegisteredOrRemoved) {
  addOldService();
  host::setWindowsVersion(6, 1);
  EXPECT_EQ(kUnsupportedOperatingSystem, run("-Service"));
  EXPECT_EQ(0, host::comInitializationDepth());  // the road leaves the apartment it entered
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kAppIdGuidPath));
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kLibraryKey));
  ASSERT_TRUE(host::serviceEntry(kServiceName));
  EXPECT_EQ(kOldProgramPath, host::serviceEntry(kServiceName)->imagePath);
  EXPECT_TRUE(host::serviceControlsSent().empty());
  EXPECT_TRUE(boxTexts().empty());
}

TEST_F(InstallationTest, AServiceThatCannotBeOpenedForRemovalIsReported) {
  addOldService();
  InitializedTestServiceModule();
  host::failCall("OpenServiceA", ERROR_ACCESS_DENIED, 1, 1);  // after the existence check
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), TestServiceModule().RemoveService());
  EXPECT_EQ(std::vector<std::string>{"Couldn't open service"}, boxTexts());
  EXPECT_TRUE(host::serviceEntry(kServiceName));
}

TEST_F(InstallationTest, AServiceThatCannotBeDeletedIsReportedAndFailsTheRegServerRoad) {
  addOldService();
  host::failCall("DeleteService", ERROR_ACCESS_DENIED);
  EXPECT_EQ(ERROR_ACCESS_DENIED, run("-RegServer"));
  EXPECT_EQ(std::vector<std::string>{"Service could not be deleted"}, boxTexts());
  EXPECT_TRUE(host::serviceEntry(kServiceName));
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kAppIdGuidPath)) << "all or nothing";
}

TEST_F(InstallationTest, RemovingWhenNoServiceIsThereSucceedsQuietly) {
  InitializedTestServiceModule();
  EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), TestServiceModule().RemoveService());
  EXPECT_EQ(0u, host::callCount("DeleteService"));
  EXPECT_TRUE(boxTexts().empty());
}

TEST_F(InstallationTest, AnAppIdKeyThatCannotBeWrittenIsTheExitCodeAndStopsTheRoad) {
  {
    UniqueKey guidKey;
    ASSERT_EQ(ERROR_SUCCESS, createKey(HKEY_CLASSES_ROOT, kAppIdGuidPath, KEY_ALL_ACCESS, guidKey));
  }
  ASSERT_TRUE(host::markKeyReadOnly(HKEY_CLASSES_ROOT, kAppIdGuidPath));
  EXPECT_EQ(ERROR_ACCESS_DENIED, run("-Service"));
  EXPECT_FALSE(host::serviceEntry(kServiceName));
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kLibraryKey));
  EXPECT_EQ(0, host::comInitializationDepth());
}

TEST_F(InstallationTest, ServiceOverARunningServiceWaitsForItToStopBeforeTheChange) {
  addOldService();
  FakeService old;
  std::vector<DWORD> stateAtChange;
  host::onCall("ChangeServiceConfigA", [&] {
    for (const SERVICE_STATUS& status : host::serviceStatusReports())
      stateAtChange.push_back(status.dwCurrentState);
  });
  EXPECT_EQ(0, run("-Service"));
  EXPECT_EQ((std::vector<DWORD>{SERVICE_RUNNING, SERVICE_STOP_PENDING, SERVICE_STOPPED}),
            stateAtChange);
  EXPECT_EQ(1, old.runs()) << "the package starts it";
  auto entry = host::serviceEntry(kServiceName);
  ASSERT_TRUE(entry);
  EXPECT_EQ(quotedProgramPath(), entry->imagePath);
  EXPECT_TRUE(boxTexts().empty());
}

TEST_F(InstallationTest, AnOldServiceThatNeverStopsFailsTheServiceRoadAfterTheBound) {
  addOldService();
  FakeService old(/*stubborn=*/true);
  host::useTestClock(true);
  const DWORD start = GetTickCount();
  EXPECT_EQ(ERROR_SERVICE_REQUEST_TIMEOUT, run("-Service"));
  EXPECT_GE(GetTickCount() - start, 30000u);
  EXPECT_LT(GetTickCount() - start, 70000u);
  // Still stopping after a second bound, it cannot be started again, and the user is told.
  EXPECT_EQ((std::vector<std::string>{"The service did not stop",
                                      "Couldn't put the previous registration back whole"}),
            boxTexts());
  EXPECT_EQ(0u, host::callCount("ChangeServiceConfigA"));
  EXPECT_EQ(0u, host::callCount("RegSetValueExA")) << "nothing is written";
  old.end();
  ASSERT_TRUE(host::waitForServiceState(SERVICE_STOPPED));
  EXPECT_EQ(kOldProgramPath, host::serviceEntry(kServiceName)->imagePath);
}

// The stop was asked for: an old service that ends its stop only after the road gave up
// waiting runs again once it has stopped, as before the road.
TEST_F(InstallationTest, AnOldServiceThatStopsOnlyAfterTheBoundRunsAgainAfterTheFailedRoad) {
  addOldService();
  FakeService old(/*stubborn=*/true);
  host::useTestClock(true);
  // Its stop ends at the 125th status query: past the road's own wait of 30 seconds (one
  // query each 250 ms), early in the wait before the service is started again.
  host::onCall(
      "QueryServiceStatus",
      [&old] {
        old.end();
        host::waitForServiceState(SERVICE_STOPPED);
      },
      125);
  EXPECT_EQ(ERROR_SERVICE_REQUEST_TIMEOUT, run("-Service"));
  EXPECT_EQ(std::vector<std::string>{"The service did not stop"}, boxTexts());
  EXPECT_EQ(2, old.runs()) << "started again";
  EXPECT_EQ(kOldProgramPath, host::serviceEntry(kServiceName)->imagePath);
}

// Someone starts the old service in the moment after its late stop: the road finds it
// running again, which is all it would have done, and says nothing of a failed restore.
TEST_F(InstallationTest, AnOldServiceStartedByOthersAfterItsLateStopCountsAsRunningAgain) {
  addOldService();
  FakeService old(/*stubborn=*/true);
  host::useTestClock(true);
  host::onCall(
      "QueryServiceStatus",
      [&old] {
        old.end();
        host::waitForServiceState(SERVICE_STOPPED);
        UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        UniqueServiceHandle service(OpenServiceA(manager.get(), kServiceName, SERVICE_START));
        EXPECT_TRUE(StartServiceA(service.get(), 0, nullptr));
        host::waitForServiceState(SERVICE_RUNNING);
      },
      125);
  EXPECT_EQ(ERROR_SERVICE_REQUEST_TIMEOUT, run("-Service"));
  EXPECT_EQ(std::vector<std::string>{"The service did not stop"}, boxTexts());
  EXPECT_EQ(2, old.runs());
}

TEST_F(InstallationTest, ACreationThatMeetsAnEntryMarkedForDeletionIsRetried) {
  host::useTestClock(true);
  host::failCall("CreateServiceA", ERROR_SERVICE_MARKED_FOR_DELETE, 3);
  EXPECT_EQ(0, run("-Service"));
  EXPECT_EQ(4u, host::callCount("CreateServiceA"));
  ASSERT_TRUE(host::serviceEntry(kServiceName));
  EXPECT_TRUE(boxTexts().empty());
}

TEST_F(InstallationTest, AnEntryThatStaysMarkedForDeletionFailsTheCreationAfterTheBound) {
  host::useTestClock(true);
  host::failCall("CreateServiceA", ERROR_SERVICE_MARKED_FOR_DELETE);
  const DWORD start = GetTickCount();
  EXPECT_EQ(ERROR_SERVICE_MARKED_FOR_DELETE, run("-Service"));
  EXPECT_GE(GetTickCount() - start, 30000u);
  EXPECT_EQ(std::vector<std::string>{"Couldn't create service"}, boxTexts());
}

TEST_F(InstallationTest, EachRefusalOfTheCreationIsItsOwnExitCode) {
  for (DWORD code : {static_cast<DWORD>(ERROR_SERVICE_EXISTS), static_cast<DWORD>(1078)}) {
    SCOPED_TRACE(code);
    host::failCall("CreateServiceA", code, 1);
    EXPECT_EQ(static_cast<int>(code), run("-Service"));
    EXPECT_EQ(1u, host::callCount("CreateServiceA")) << "only a marked entry is waited for";
    host::resetCallCounts();
    host::clearMessageBoxes();
  }
}

TEST_F(InstallationTest, InstallServiceSparesAnExistingEntry) {
  addOldService();
  InitializedTestServiceModule();
  EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), TestServiceModule().InstallService());
  EXPECT_EQ(0u, host::callCount("CreateServiceA"));
  EXPECT_EQ(kOldProgramPath, host::serviceEntry(kServiceName)->imagePath);
}

TEST_F(InstallationTest, AManagerThatCannotBeOpenedForRemovalIsReportedWithItsCode) {
  addOldService();
  InitializedTestServiceModule();
  host::failCall("OpenSCManagerA", ERROR_ACCESS_DENIED, 1, 1);  // after the existence check
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), TestServiceModule().RemoveService());
  EXPECT_EQ(std::vector<std::string>{"Couldn't open service manager"}, boxTexts());
  EXPECT_TRUE(host::serviceEntry(kServiceName));
}

TEST_F(InstallationTest, AnOldEntryThatCannotBeChangedFailsTheServiceRoadAndIsKept) {
  addOldService();
  host::failCall("ChangeServiceConfigA", ERROR_ACCESS_DENIED);
  EXPECT_EQ(ERROR_ACCESS_DENIED, run("-Service"));
  EXPECT_EQ(std::vector<std::string>{"Couldn't change service"}, boxTexts());
  EXPECT_EQ(kOldProgramPath, host::serviceEntry(kServiceName)->imagePath);
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kAppIdGuidPath)) << "there was none before";
}

TEST_F(InstallationTest, AFailedCoInitializeEndsARegistrationRoadWithItsCode) {
  host::failCall("CoInitialize", static_cast<DWORD>(E_OUTOFMEMORY), 1);
  EXPECT_EQ(E_OUTOFMEMORY, run("-Service"));
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kAppIdGuidPath));
  EXPECT_FALSE(host::serviceEntry(kServiceName));
}

TEST_F(InstallationTest, UnregServerGivesTheCodeOfAFailedAppIdScriptAndGoesOn) {
  ASSERT_EQ(0, run("-Service"));
  // Its AppID value cannot be deleted: the key does not open for writing.
  ASSERT_TRUE(host::markKeyReadOnly(HKEY_CLASSES_ROOT, "AppID\\KstvCardReader.EXE"));
  EXPECT_EQ(static_cast<int>(E_ACCESSDENIED), run("-UnregServer"));
  EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, "AppID\\KstvCardReader.EXE"));
  EXPECT_FALSE(host::serviceEntry(kServiceName)) << "the service is removed all the same";
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kLibraryKey)) << "and the type library";
  host::clearReadOnlyMarks();
  EXPECT_EQ(0, run("-UnregServer"));
  EXPECT_EQ(0, run("-UnregServer")) << "nothing is left: still a success";
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kAppIdGuidPath));
}

TEST_F(InstallationTest, ServiceOverARunningServiceAlreadyMarkedForDeletionMakesANewEntry) {
  addOldService();
  FakeService old;
  deleteEntryAsScDeleteDoes();
  EXPECT_EQ(0, run("-Service"));
  auto entry = host::serviceEntry(kServiceName);
  ASSERT_TRUE(entry);
  EXPECT_EQ(quotedProgramPath(), entry->imagePath);
  EXPECT_FALSE(markedForDeletion()) << "the new entry is not the old, marked one";
  EXPECT_EQ("KstvCardReader", appIdValue(kLocalServiceValueName));
  EXPECT_TRUE(boxTexts().empty());
}

TEST_F(InstallationTest, UnregServerOverAnEntryAlreadyMarkedForDeletionSucceedsOnceItIsGone) {
  ASSERT_EQ(0, run("-Service"));
  FakeService running;
  deleteEntryAsScDeleteDoes();
  EXPECT_EQ(0, run("-UnregServer"));
  EXPECT_FALSE(host::serviceEntry(kServiceName));
  EXPECT_TRUE(boxTexts().empty());
}

TEST_F(InstallationTest, AStopRefusedWhileTheOldServiceIsStartingIsAskedAgain) {
  addOldService();
  FakeService old(/*stubborn=*/false, FakeService::Start::Pending);
  // The first stop meets START_PENDING and is refused; then the service comes up.
  host::onCall("QueryServiceStatus", [&] { old.finishStarting(); });
  EXPECT_EQ(0, run("-Service"));
  ASSERT_EQ(2u, host::serviceControlsSent().size());
  EXPECT_EQ(SERVICE_CONTROL_STOP, host::serviceControlsSent()[1].control);
  auto entry = host::serviceEntry(kServiceName);
  ASSERT_TRUE(entry);
  EXPECT_EQ(quotedProgramPath(), entry->imagePath);
}

TEST_F(InstallationTest, AnAppIdKeyThatCannotBeOpenedForWritingIsItsOpensCode) {
  {
    UniqueKey appIdKey;
    ASSERT_EQ(ERROR_SUCCESS, createKey(HKEY_CLASSES_ROOT, kAppIdKeyName, KEY_ALL_ACCESS, appIdKey));
  }
  ASSERT_TRUE(host::markKeyReadOnly(HKEY_CLASSES_ROOT, kAppIdKeyName));
  EXPECT_EQ(ERROR_ACCESS_DENIED, run("-RegServer"));
  expectNoRegistration();
}

TEST_F(InstallationTest, UnregServerGivesTheCodeOfATypeLibraryThatStaysRegistered) {
  ASSERT_EQ(0, run("-Service"));
  host::failCall("UnRegisterTypeLib", static_cast<DWORD>(E_ACCESSDENIED), 1);
  EXPECT_EQ(static_cast<int>(E_ACCESSDENIED), run("-UnregServer"));
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kAppIdGuidPath)) << "every other step is taken";
  EXPECT_FALSE(host::serviceEntry(kServiceName));
  EXPECT_EQ(0, run("-UnregServer")) << "and a second one removes the library";
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kLibraryKey));
}

TEST_F(InstallationTest, TheServiceSaysWhatItDoesAndRestartsTwiceAfterAFailure) {
  ASSERT_EQ(0, run("-Service"));
  UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  UniqueServiceHandle service(OpenServiceA(manager.get(), kServiceName, SERVICE_QUERY_CONFIG));
  ASSERT_TRUE(service);
  BYTE buffer[1024];
  DWORD needed = 0;
  ASSERT_TRUE(QueryServiceConfig2A(service.get(), SERVICE_CONFIG_DESCRIPTION, buffer, sizeof buffer,
                                   &needed));
  EXPECT_STREQ(
      "Gives each memory card in Kestrova's card reader its own icon and label in Explorer "
      "while the card is inserted.",
      reinterpret_cast<SERVICE_DESCRIPTIONA*>(buffer)->lpDescription);

  ASSERT_TRUE(QueryServiceConfig2A(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, buffer,
                                   sizeof buffer, &needed));
  const auto* recovery = reinterpret_cast<SERVICE_FAILURE_ACTIONSA*>(buffer);
  EXPECT_EQ(86400u, recovery->dwResetPeriod) << "the count starts afresh after a day";
  ASSERT_EQ(3u, recovery->cActions);
  EXPECT_EQ(SC_ACTION_RESTART, recovery->lpsaActions[0].Type);
  EXPECT_EQ(60000u, recovery->lpsaActions[0].Delay);
  EXPECT_EQ(SC_ACTION_RESTART, recovery->lpsaActions[1].Type);
  EXPECT_EQ(60000u, recovery->lpsaActions[1].Delay);
  EXPECT_EQ(SC_ACTION_NONE, recovery->lpsaActions[2].Type) << "nothing after the second";

  ASSERT_TRUE(QueryServiceConfig2A(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, buffer,
                                   sizeof buffer, &needed));
  EXPECT_TRUE(
      reinterpret_cast<SERVICE_FAILURE_ACTIONS_FLAG*>(buffer)->fFailureActionsOnNonCrashFailures)
      << "a stop with an exit code of its own counts as a failure";
  EXPECT_TRUE(boxTexts().empty());
}

// Each optional setting of the entry that the manager refuses, on a new entry or on one
// the road changes: its message is shown and the road succeeds, the entry sound.
TEST_F(InstallationTest, AnOptionalSettingThatCannotBeSetIsShownAndFailsNothing) {
  struct Case {
    unsigned after;  // ChangeServiceConfig2A calls that succeed first
    unsigned times;
    bool overAnOldEntry;
    std::vector<std::string> messages;
  };
  const std::string description = "Couldn't set the service's description";
  const std::string recovery = "Couldn't set the service's recovery";
  const std::string privileges = "Couldn't limit the service's privileges";
  const std::string sid = "Couldn't give the service its own SID";
  // The calls in order: description, failure actions, their flag, privileges, SID type.
  const Case cases[] = {
      {0, host::kAlways, false, {description, recovery, privileges, sid}},
      {0, 1, false, {description}},
      {1, 1, false, {recovery}},
      {2, 1, false, {recovery}},
      {3, 1, false, {privileges}},
      {4, 1, false, {sid}},
      {3, 2, true, {privileges, sid}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.messages.back() + " after " + std::to_string(c.after) +
                 (c.overAnOldEntry ? ", over an old entry" : ""));
    if (c.overAnOldEntry) addOldService();
    host::failCall("ChangeServiceConfig2A", ERROR_ACCESS_DENIED, c.times, c.after);
    EXPECT_EQ(0, run("-Service"));
    EXPECT_EQ(c.messages, boxTexts());
    auto entry = host::serviceEntry(kServiceName);
    ASSERT_TRUE(entry);
    EXPECT_EQ(quotedProgramPath(), entry->imagePath);
    EXPECT_EQ("KstvCardReader", appIdValue(kLocalServiceValueName));
    EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, kLibraryKey));
    host::clearFailures();
    host::clearMessageBoxes();
    host::resetServiceManager();
    host::resetRegistry();
  }
}

TEST_F(InstallationTest, ServiceFromAFolderOthersMayChangeIsRefusedAndChangesNothing) {
  ASSERT_EQ(0, run("-Service"));  // an earlier registration, which must stay whole
  const std::string before = registry();
  host::setModulePath("C:\\Tools\\KstvCardReader.exe");  // users may rename C:\Tools
  EXPECT_EQ(static_cast<int>(ERROR_ACCESS_DENIED), run("-Service"));
  EXPECT_EQ(std::vector<std::string>{"Not installed as a service: others than administrators "
                                     "may change \"C:\\Tools\", and with it the program that "
                                     "the service would run as the system. Put the program in a "
                                     "folder that only administrators may change."},
            boxTexts());
  EXPECT_EQ(before, registry());
  EXPECT_TRUE(host::serviceControlsSent().empty()) << "the old service was not even stopped";

  // Rights that may not be read are no refusal of others' rights, though both are 5.
  host::clearMessageBoxes();
  host::failCall("GetNamedSecurityInfoA", ERROR_ACCESS_DENIED);
  EXPECT_EQ(static_cast<int>(ERROR_ACCESS_DENIED), run("-Service"));
  EXPECT_EQ(std::vector<std::string>{"Not installed as a service: who may change \"C:\\\" could "
                                     "not be read (error 5)."},
            boxTexts());
  host::clearFailures();

  // Where the administrators' policy trusts the program's location, it is not checked.
  UniqueKey policy;
  ASSERT_EQ(ERROR_SUCCESS,
            createKey(HKEY_LOCAL_MACHINE, kProgramLocationPolicyKey, KEY_ALL_ACCESS, policy));
  for (const auto& [value, code] : {std::pair<DWORD, int>{2, ERROR_ACCESS_DENIED}, {1, 0}}) {
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(policy.get(), kTrustProgramLocationValue, 0, REG_DWORD,
                                            reinterpret_cast<const BYTE*>(&value), sizeof value));
    EXPECT_EQ(code, run("-Service")) << "TrustProgramLocation " << value;
  }
  ASSERT_FALSE(host::eventLog().empty());
  EXPECT_EQ(EVENTLOG_WARNING_TYPE, host::eventLog().back().type) << "the waived check is told";
  policy.reset();
  removeTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Policies");
}

// The event viewer reads each event's text from the message file beside the program: both
// roads register the source when that file is there, and UnregServer takes away the
// source that names it, and no other.
TEST_F(InstallationTest, TheRoadsRegisterTheEventSourceBesideTheProgramAndUnregServerRemovesIt) {
  for (const char* word : {"-Service", "-RegServer"}) {
    SCOPED_TRACE(word);
    ASSERT_EQ(0, run(word));
    EXPECT_EQ(kMessageFile, messageFileNamed());
    EXPECT_EQ(7u, dwordValue(HKEY_LOCAL_MACHINE, kEventSourcePath, "TypesSupported"));
    EXPECT_EQ(0, run("-UnregServer"));
    EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, kEventSourcePath));
  }
  std::filesystem::remove(host::hostPathOf(kMessageFile));
  ASSERT_EQ(0, run("-Service"));
  EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, kEventSourcePath)) << "no message file, no source";
  host::setModulePath(kOldProgramPath);
  ASSERT_EQ(0, run("-RegServer"));  // another installation's source
  host::setModulePath(host::kDefaultModulePath);
  EXPECT_EQ(0, run("-UnregServer"));
  EXPECT_EQ(kOldMessageFile, messageFileNamed());
  EXPECT_TRUE(boxTexts().empty());
}

// A path the ANSI code page cannot hold would register a look-alike path (Windows' best
// fit, "Omega" for "Ωmega"), another program's, or none: both roads refuse it with 1113,
// say which path, and change nothing. A path the code page holds is no reason to refuse.
TEST_F(InstallationTest, AProgramPathTheCodePageCannotHoldIsRefusedAndChangesNothing) {
  ASSERT_EQ(0, run("-Service"));  // an earlier registration, which must stay whole
  const std::string before = registry();
  host::setModulePathUtf8("C:\\Program Files\\Tools \u03A9mega\\KstvCardReader.exe");
  for (const char* word : {"-RegServer", "-Service"}) {
    SCOPED_TRACE(word);
    EXPECT_EQ(static_cast<int>(ERROR_NO_UNICODE_TRANSLATION), run(word));
    EXPECT_EQ(before, registry());
  }
  const std::string refusal =
      "Not registered: the program's path \"C:\\Program Files\\Tools ?mega\\KstvCardReader.exe\" "
      "has characters that the system's code page cannot hold (shown as ?), and the "
      "registration would name another file or none. Put the program in a folder whose path "
      "has none.";
  EXPECT_EQ(std::vector<std::string>(2, refusal), boxTexts());
  EXPECT_TRUE(host::serviceControlsSent().empty()) << "the old service was not even stopped";

  host::clearMessageBoxes();
  host::setModulePathUtf8("C:\\Program Files\\Kestrova Caf\u00E9\\KstvCardReader.exe");
  EXPECT_EQ(0, run("-RegServer"));
  EXPECT_TRUE(boxTexts().empty());
}

TEST_F(InstallationTest, RegServerMakesNoServiceAndRegistersFromAnyFolder) {
  host::setModulePath("C:\\Tools\\KstvCardReader.exe");
  EXPECT_EQ(0, run("-RegServer"));
  EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, kLibraryKey));
  EXPECT_TRUE(boxTexts().empty());
}

}  // namespace
}  // namespace kstv::test

namespace kstv::test {
namespace {

// Where no user sees the window station (a package's deferred action, or the service, in
// session 0), every message of the roads goes to the event log and the debug log instead of
// a box that nobody could close, and the road goes on as after one.
TEST_F(InstallationTest, WithoutAVisibleWindowStationEachMessageGoesToTheEventLogNotABox) {
  struct Case {
    const char* word;
    std::function<void(std::optional<FakeService>&)> arrange;
    int exitCode;
    std::vector<std::string> messages;
  };
  const auto failing = [](const char* call, DWORD code, unsigned times = host::kAlways,
                          unsigned after = 0) {
    return [=](std::optional<FakeService>&) { host::failCall(call, code, times, after); };
  };
  const auto olderVersionFailing = [](const char* call, DWORD code, unsigned times, unsigned after,
                                      const char* alsoFailing = nullptr) {
    return [=](std::optional<FakeService>&) {
      registerOlderVersion();
      host::failCall(call, code, times, after);
      if (alsoFailing) host::failCall(alsoFailing, static_cast<DWORD>(TYPE_E_REGISTRYACCESS), 1);
    };
  };
  const DWORD denied = ERROR_ACCESS_DENIED;
  const Case cases[] = {
      {"-Service",
       [](auto&) { host::refuseServiceManagerFullAccess(true); },
       ERROR_ACCESS_DENIED,
       {"Couldn't open service manager"}},
      {"-Service",
       failing("CreateServiceA", denied),
       ERROR_ACCESS_DENIED,
       {"Couldn't create service"}},
      {"-Service",
       failing("ChangeServiceConfig2A", denied),
       0,
       {"Couldn't set the service's description", "Couldn't set the service's recovery",
        "Couldn't limit the service's privileges", "Couldn't give the service its own SID"}},
      {"-Service",
       olderVersionFailing("OpenServiceA", denied, 1, 0),
       ERROR_ACCESS_DENIED,
       {"Couldn't open service"}},
      {"-Service",
       olderVersionFailing("ChangeServiceConfigA", denied, 1, 0),
       ERROR_ACCESS_DENIED,
       {"Couldn't change service"}},
      {"-Service",
       olderVersionFailing("ChangeServiceConfigA", denied, 1, 1, "RegisterTypeLib"),
       TYPE_E_REGISTRYACCESS,
       {"Couldn't put the previous registration back whole"}},
      {"-Service",
       [](std::optional<FakeService>& service) {
         addOldService();
         service.emplace(/*stubborn=*/true);
         host::useTestClock(true);
       },
       ERROR_SERVICE_REQUEST_TIMEOUT,
       {"The service did not stop", "Couldn't put the previous registration back whole"}},
      {"-RegServer",
       olderVersionFailing("DeleteService", denied, 1, 0),
       ERROR_ACCESS_DENIED,
       {"Service could not be deleted"}},
      {"-UnregServer",
       olderVersionFailing("DeleteService", denied, 1, 0),
       ERROR_ACCESS_DENIED,
       {"Service could not be deleted"}},
      {"-Service",
       [](auto&) { readOnlyKey(kEventSourcePath, /*cutLastName=*/true); },
       0,
       {"Couldn't register the event source: the event log shows events without their text"}},
      {"-UnregServer",
       [](auto&) {
         ASSERT_EQ(0, run("-Service"));
         readOnlyKey(kEventSourcePath, /*cutLastName=*/false);
       },
       ERROR_ACCESS_DENIED,
       {"Couldn't remove the event source"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.word) + " telling " + c.messages.front());
    setDebugLevel(1);
    std::optional<FakeService> service;
    c.arrange(service);
    host::setWindowStationVisible(false);
    const std::size_t events = host::eventLog().size();
    const std::size_t lines = host::debuggerOutput().size();
    EXPECT_EQ(c.exitCode, run(c.word));
    EXPECT_TRUE(host::messageBoxes().empty()) << "a box nobody can close";
    std::vector<host::Event> reported = host::eventLog();
    reported.erase(reported.begin(), reported.begin() + static_cast<std::ptrdiff_t>(events));
    std::vector<std::string> texts;
    for (const host::Event& event : reported) {
      EXPECT_EQ(kServiceName, event.source);
      EXPECT_EQ(EVENTLOG_ERROR_TYPE, event.type);
      EXPECT_EQ(0u, event.eventId);
      EXPECT_EQ(0, event.category);
      EXPECT_EQ(1u, event.strings.size());
      texts.push_back(event.strings.empty() ? "" : event.strings[0]);
    }
    EXPECT_EQ(c.messages, texts);
    const std::vector<std::string> debugger = host::debuggerOutput();
    for (const std::string& message : c.messages)
      EXPECT_NE(std::find(debugger.begin() + static_cast<std::ptrdiff_t>(lines), debugger.end(),
                          "KstvCardReader: " + message + "\n"),
                debugger.end())
          << message;
    if (service) service->end();
    service.reset();
    host::setWindowStationVisible(true);
    host::useTestClock(false);
    host::clearFailures();
    host::clearReadOnlyMarks();
    host::refuseServiceManagerFullAccess(false);
    host::clearServiceReports();
    host::resetServiceManager();
    host::resetRegistry();
  }
}

}  // namespace
}  // namespace kstv::test

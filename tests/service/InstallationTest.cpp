// The registration roads on the emulated machine: RegServer, Service and UnregServer
// leave the AppID values, the service entry and the type library as they should, and
// the service manager's refusals reach the user as message boxes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "module/ServiceModule.h"
#include "platform/host/control.h"
#include "service/AppId.h"
#include "service/Entry.h"
#include "tests/support/FakeService.h"
#include "tests/support/ProgramPath.h"
#include "tests/support/RegistryValues.h"
#include "tests/support/ScratchKey.h"
#include "tests/support/TestServiceModule.h"
#include "tools/kstvreg/RegExport.h"

namespace kstv::test {
namespace {

constexpr char kAppIdGuidPath[] = "AppID\\{6B1D2E47-3A90-4C5E-9F12-7D84C0A3B5E1}";
constexpr char kLibraryKey[] = "TypeLib\\{2C7E9A15-B4D3-4F08-8E61-5A0F93D7C2B4}";
constexpr char kServiceName[] = "KstvCardReader";
constexpr char kServiceKeyPath[] = "System\\CurrentControlSet\\Services\\KstvCardReader";
constexpr HRESULT kUnsupportedOperatingSystem = static_cast<HRESULT>(0x80110449L);

class InstallationTest : public ::testing::Test {
 protected:
  InstallationTest() {
    host::resetRegistry();
    host::resetServiceManager();
    host::clearServiceReports();
    host::clearMessageBoxes();
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
    host::resetRegistry();
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
    old.imagePath = "C:\\Old\\KstvCardReader.exe";
    host::addServiceEntry(old);
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
  EXPECT_TRUE(boxTexts().empty());
}

TEST_F(InstallationTest, TheImagePathIsQuotedSoThatItsBlanksCannotSplitIt) {
  ASSERT_EQ(0, run("-Service"));
  auto entry = host::serviceEntry(kServiceName);
  ASSERT_TRUE(entry);
  EXPECT_EQ(quotedProgramPath(), entry->imagePath);
}

TEST_F(InstallationTest, ServiceOverAnExistingServiceStopsDeletesAndCreatesItAnew) {
  addOldService();
  EXPECT_EQ(0, run("-Service"));
  ASSERT_EQ(1u, host::serviceControlsSent().size());
  EXPECT_EQ(SERVICE_CONTROL_STOP, host::serviceControlsSent()[0].control);
  auto entry = host::serviceEntry(kServiceName);
  ASSERT_TRUE(entry);
  EXPECT_EQ("Kestrova Card Reader Service", entry->displayName);
  EXPECT_EQ(quotedProgramPath(), entry->imagePath);
  EXPECT_TRUE(boxTexts().empty());
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
  EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, kAppIdKeyName));
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

TEST_F(InstallationTest, ServiceOverAnEarlierRegServerThatFailsLeavesNoPartOfEither) {
  ASSERT_EQ(0, run("-RegServer"));
  host::failCall("CreateServiceA", ERROR_ACCESS_DENIED, 1);
  EXPECT_EQ(ERROR_ACCESS_DENIED, run("-Service"));
  expectNoRegistration();
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
  // Another installer makes the entry between the old one's removal and the creation.
  host::onCall("CreateServiceA", [] { addOldService(); });
  EXPECT_EQ(ERROR_SERVICE_EXISTS, run("-Service"));
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kAppIdGuidPath));
  ASSERT_TRUE(host::serviceEntry(kServiceName));
  EXPECT_EQ("C:\\Old\\KstvCardReader.exe", host::serviceEntry(kServiceName)->imagePath);
}

TEST_F(InstallationTest, AnOldServiceThatNeverStopsTakesTheOldRegistrationWithIt) {
  ASSERT_EQ(0, run("-Service"));
  FakeService old(/*stubborn=*/true);
  host::useTestClock(true);
  EXPECT_EQ(ERROR_SERVICE_MARKED_FOR_DELETE, run("-Service"));
  old.end();
  ASSERT_TRUE(host::waitForServiceState(SERVICE_STOPPED));
  expectNoRegistration();
}

TEST_F(InstallationTest, WithoutAdministratorRightsTheServiceRoadLeavesNothing) {
  host::refuseServiceManagerFullAccess(true);
  EXPECT_EQ(0, run("-RegServer"));
  EXPECT_TRUE(boxTexts().empty());  // nothing to remove as far as it can tell
  EXPECT_EQ(ERROR_ACCESS_DENIED, run("-Service"));
  EXPECT_EQ(std::vector<std::string>{"Couldn't open service manager"}, boxTexts());
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
  EXPECT_EQ("C:\\Old\\KstvCardReader.exe", host::serviceEntry(kServiceName)->imagePath);
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

TEST_F(InstallationTest, AServiceThatCannotBeDeletedIsReported) {
  addOldService();
  host::failCall("DeleteService", ERROR_ACCESS_DENIED);
  EXPECT_EQ(0, run("-RegServer"));
  EXPECT_EQ(std::vector<std::string>{"Service could not be deleted"}, boxTexts());
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

TEST_F(InstallationTest, ServiceOverARunningServiceWaitsForItToStopBeforeTheDelete) {
  addOldService();
  FakeService old;
  std::vector<DWORD> stateAtDelete;
  host::onCall("DeleteService", [&] {
    for (const SERVICE_STATUS& status : host::serviceStatusReports())
      stateAtDelete.push_back(status.dwCurrentState);
  });
  EXPECT_EQ(0, run("-Service"));
  EXPECT_EQ((std::vector<DWORD>{SERVICE_RUNNING, SERVICE_STOP_PENDING, SERVICE_STOPPED}),
            stateAtDelete);
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
  EXPECT_EQ(ERROR_SERVICE_MARKED_FOR_DELETE, run("-Service"));
  EXPECT_GE(GetTickCount() - start, 30000u);
  EXPECT_LT(GetTickCount() - start, 70000u);
  EXPECT_EQ(std::vector<std::string>{"Service could not be deleted"}, boxTexts());
  EXPECT_EQ(0u, host::callCount("CreateServiceA"));
  old.end();
  ASSERT_TRUE(host::waitForServiceState(SERVICE_STOPPED));
  EXPECT_FALSE(host::serviceEntry(kServiceName)) << "marked for deletion, gone once stopped";
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
  EXPECT_EQ("C:\\Old\\KstvCardReader.exe", host::serviceEntry(kServiceName)->imagePath);
}

TEST_F(InstallationTest, AManagerThatCannotBeOpenedForRemovalIsReportedWithItsCode) {
  addOldService();
  InitializedTestServiceModule();
  host::failCall("OpenSCManagerA", ERROR_ACCESS_DENIED, 1, 1);  // after the existence check
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), TestServiceModule().RemoveService());
  EXPECT_EQ(std::vector<std::string>{"Couldn't open service manager"}, boxTexts());
  EXPECT_TRUE(host::serviceEntry(kServiceName));
}

TEST_F(InstallationTest, AnOldEntryThatCannotBeDeletedFailsTheServiceRoadAndIsKept) {
  addOldService();
  host::failCall("DeleteService", ERROR_ACCESS_DENIED);
  EXPECT_EQ(ERROR_ACCESS_DENIED, run("-Service"));
  EXPECT_EQ(std::vector<std::string>{"Service could not be deleted"}, boxTexts());
  EXPECT_EQ("C:\\Old\\KstvCardReader.exe", host::serviceEntry(kServiceName)->imagePath);
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

TEST_F(InstallationTest, ADescriptionOrRecoveryThatCannotBeSetIsShownAndFailsNothing) {
  host::failCall("ChangeServiceConfig2A", ERROR_ACCESS_DENIED);
  EXPECT_EQ(0, run("-Service"));
  EXPECT_EQ((std::vector<std::string>{"Couldn't set the service's description",
                                      "Couldn't set the service's recovery"}),
            boxTexts());
  auto entry = host::serviceEntry(kServiceName);
  ASSERT_TRUE(entry);
  EXPECT_EQ(quotedProgramPath(), entry->imagePath);
  EXPECT_EQ("KstvCardReader", appIdValue(kLocalServiceValueName));
  EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, kLibraryKey));
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
}

TEST_F(InstallationTest, RegServerMakesNoServiceAndRegistersFromAnyFolder) {
  host::setModulePath("C:\\Tools\\KstvCardReader.exe");
  EXPECT_EQ(0, run("-RegServer"));
  EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, kLibraryKey));
  EXPECT_TRUE(boxTexts().empty());
}

}  // namespace
}  // namespace kstv::test

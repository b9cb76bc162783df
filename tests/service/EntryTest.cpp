// The process entry on the emulated machine: which road a command line takes, the run
// road's reading of the AppID, exit codes, and that no road leaks a registry handle.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "module/ServiceModule.h"
#include "platform/host/control.h"
#include "service/AppId.h"
#include "service/Entry.h"
#include "tests/support/ProgramPath.h"
#include "tests/support/ScratchKey.h"
#include "tests/support/TestServiceModule.h"

namespace kstv::test {
namespace {

constexpr char kAppIdGuidPath[] = "AppID\\{6B1D2E47-3A90-4C5E-9F12-7D84C0A3B5E1}";
// Runs here have no WMI: they end with the failed subscription's HRESULT.
constexpr int kNoWmi = static_cast<int>(REGDB_E_CLASSNOTREG);

class EntryTest : public ::testing::Test {
 protected:
  EntryTest() {
    host::resetRegistry();
    host::resetComSecurity();
    host::resetServiceManager();
    host::clearServiceReports();
    // Runs end at once: without WMI the subscription fails and the run tears down.
    host::failCall("CoCreateInstance(WbemLocator)", static_cast<DWORD>(REGDB_E_CLASSNOTREG));
    host::resetCallCounts();
    handlesBefore_ = host::openRegistryHandleCount();
  }
  ~EntryTest() override {
    EXPECT_EQ(handlesBefore_, host::openRegistryHandleCount()) << "a registry handle leaked";
    EXPECT_EQ(0, host::comInitializationDepth()) << "COM left initialised";
    host::clearFailures();
    host::setStartedByServiceManager(false);
    host::resetServiceManager();
    host::resetRegistry();
  }

  // Whether the run loop ran (it asks for WMI once).
  static bool ran() { return host::callCount("CoCreateInstance(WbemLocator)") > 0; }
  static std::vector<DWORD> reportedStates() {
    std::vector<DWORD> states;
    for (const SERVICE_STATUS& status : host::serviceStatusReports())
      states.push_back(status.dwCurrentState);
    return states;
  }

  int runWith(const std::string& arguments) {
    host::setCommandLine(quotedProgramPath() + arguments);
    testing::internal::CaptureStderr();
    int code = Entry(GetModuleHandleA(nullptr), nullptr, nullptr, SW_SHOWDEFAULT);
    stderrText_ = testing::internal::GetCapturedStderr();
    return code;
  }

  void registerAppId() {
    UniqueKey key;
    ASSERT_EQ(ERROR_SUCCESS, createKey(HKEY_CLASSES_ROOT, kAppIdGuidPath, KEY_ALL_ACCESS, key));
  }

  void setLocalService(const std::string& data, DWORD type = REG_SZ) {
    UniqueKey key;
    ASSERT_EQ(ERROR_SUCCESS, createKey(HKEY_CLASSES_ROOT, kAppIdGuidPath, KEY_ALL_ACCESS, key));
    ASSERT_EQ(ERROR_SUCCESS, setString(key.get(), kLocalServiceValueName, data, type));
  }

  std::string stderrText_;

 private:
  std::size_t handlesBefore_ = 0;
};

TEST_F(EntryTest, WithoutTheAppIdKeyTheRunRoadEndsAtOnceWithFileNotFound) {
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, runWith(""));
  EXPECT_FALSE(ran());
}

TEST_F(EntryTest, WithoutTheAppIdGuidKeyTheRunRoadEndsWithFileNotFound) {
  UniqueKey appId;
  ASSERT_EQ(ERROR_SUCCESS, createKey(HKEY_CLASSES_ROOT, kAppIdKeyName, KEY_ALL_ACCESS, appId));
  appId.reset();
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, runWith(""));
  EXPECT_FALSE(ran());
}

TEST_F(EntryTest, AnAppIdKeyThatCannotBeReadGivesItsCodeAsTheExitCode) {
  registerAppId();
  host::failCall("RegOpenKeyExA", ERROR_ACCESS_DENIED, 1, 1);  // the GUID key's open
  EXPECT_EQ(ERROR_ACCESS_DENIED, runWith(""));
}

TEST_F(EntryTest, ALocalServiceStringSelectsServiceMode) {
  setLocalService(std::string("KstvCardReader", 15));
  host::setStartedByServiceManager(true);
  EXPECT_EQ(kNoWmi, runWith(""));
  EXPECT_TRUE(ran());
  EXPECT_TRUE(CurrentServiceModule()->serviceMode);
  EXPECT_EQ((std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOPPED}),
            reportedStates());
}

TEST_F(EntryTest, ALocalServiceOfAnyTextAndExactly260BytesStillSelectsServiceMode) {
  setLocalService(std::string(259, 'x') + '\0');
  host::setStartedByServiceManager(true);
  EXPECT_EQ(kNoWmi, runWith(""));
  EXPECT_TRUE(CurrentServiceModule()->serviceMode);
}

TEST_F(EntryTest, StartedFromACommandPromptWithLocalServiceItRunsInProcess) {
  setLocalService(std::string("KstvCardReader", 15));
  EXPECT_EQ(kNoWmi, runWith(""));  // the dispatcher refuses: not started by the manager
  EXPECT_TRUE(ran());
  EXPECT_FALSE(CurrentServiceModule()->serviceMode);
  EXPECT_TRUE(reportedStates().empty());
}

TEST_F(EntryTest, WithoutAProperLocalServiceStringTheProgramRunsInProcess) {
  struct Case {
    const char* what;
    std::string data;
    DWORD type;
  } cases[] = {{"of the wrong type", std::string("\x01\0\0\0", 4), REG_DWORD},
               {"not terminated", "KstvCardReader", REG_SZ},
               {"longer than 260 bytes", std::string(260, 'x') + '\0', REG_SZ}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    setLocalService(c.data, c.type);
    host::setStartedByServiceManager(true);  // in-process mode never asks the manager
    host::resetCallCounts();
    EXPECT_EQ(kNoWmi, runWith(""));
    EXPECT_TRUE(ran());
    EXPECT_FALSE(CurrentServiceModule()->serviceMode);
    EXPECT_TRUE(reportedStates().empty());
  }
}

TEST_F(EntryTest, AMissingLocalServiceValueMeansInProcess) {
  registerAppId();
  EXPECT_EQ(kNoWmi, runWith(""));
  EXPECT_FALSE(CurrentServiceModule()->serviceMode);
}

TEST_F(EntryTest, EachWordTakesItsOwnRoad) {
  EXPECT_EQ(S_OK, runWith(" /RegServer"));
  EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, kAppIdGuidPath));
  EXPECT_EQ(1u, host::callCount("RegisterTypeLib"));
  EXPECT_FALSE(host::serviceEntry("KstvCardReader"));
  EXPECT_FALSE(ran());

  EXPECT_EQ(S_OK, runWith(" -service"));
  EXPECT_TRUE(host::serviceEntry("KstvCardReader"));
  EXPECT_EQ(2u, host::callCount("RegisterTypeLib"));

  EXPECT_EQ(0, runWith(" -UnregServer"));
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kAppIdGuidPath));  // the script's unregistration
  EXPECT_FALSE(host::serviceEntry("KstvCardReader"));
  EXPECT_EQ(1u, host::callCount("UnRegisterTypeLib"));
  EXPECT_EQ(2u, host::callCount("RegisterTypeLib"));
  EXPECT_FALSE(ran());
}

TEST_F(EntryTest, AWordFollowedByABlankTakesTheRunRoad) {
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, runWith(" /RegServer "));
  EXPECT_EQ(0u, host::callCount("RegisterTypeLib"));
}

TEST_F(EntryTest, TheUnregisterRoadEndsWithTheCodeOfAFailedCoInitialize) {
  host::failCall("CoInitialize", static_cast<DWORD>(E_OUTOFMEMORY), 1);
  registerAppId();
  EXPECT_EQ(E_OUTOFMEMORY, runWith(" /UnregServer"));
  EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, kAppIdGuidPath));  // nothing was done
}

TEST_F(EntryTest, TheEntryReadsTheServiceNameFromItsStringResource) {
  registerAppId();
  runWith("");
  // The entry fills a record of its own and makes it the process one.
  ASSERT_NE(nullptr, CurrentServiceModule());
  EXPECT_NE(&TestServiceModule(), CurrentServiceModule());
  EXPECT_STREQ("KstvCardReader", CurrentServiceModule()->serviceName);
}

}  // namespace
}  // namespace kstv::test

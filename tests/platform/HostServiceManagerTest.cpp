// The emulated service manager: the codes its calls give, as Windows gives them, the
// access a handle carries, and no handle left behind.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/handles.h"
#include "platform/host/control.h"
#include "tests/support/FakeService.h"

namespace kstv::test {
namespace {

constexpr DWORD kManagerConnect = 0x0001;

class HostServiceManagerTest : public ::testing::Test {
 protected:
  HostServiceManagerTest() {
    host::resetServiceManager();
    host::clearServiceReports();
  }
  ~HostServiceManagerTest() override {
    EXPECT_EQ(0u, host::openServiceHandleCount());
    host::clearFailures();
    host::resetServiceManager();
    host::clearServiceReports();
  }

  static SC_HANDLE create(SC_HANDLE manager, const char* name) {
    return CreateServiceA(manager, name, "Display", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                          SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "C:\\x.exe", nullptr, nullptr,
                          "A\0B\0", nullptr, nullptr);
  }
};

TEST_F(HostServiceManagerTest, AServiceIsCreatedOnceAndOpensWithoutRegardToCase) {
  UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  ASSERT_TRUE(manager);
  UniqueServiceHandle first(create(manager.get(), "Probe"));
  ASSERT_TRUE(first);
  EXPECT_EQ(nullptr, create(manager.get(), "PROBE"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_EXISTS), GetLastError());
  UniqueServiceHandle opened(OpenServiceA(manager.get(), "probe", SERVICE_QUERY_CONFIG));
  EXPECT_TRUE(opened);
  auto entry = host::serviceEntry("Probe");
  ASSERT_TRUE(entry);
  EXPECT_EQ((std::vector<std::string>{"A", "B"}), entry->dependencies);
  EXPECT_EQ("LocalSystem", entry->account);
}

TEST_F(HostServiceManagerTest, AMissingServiceDoesNotOpen) {
  UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  EXPECT_EQ(nullptr, OpenServiceA(manager.get(), "Nothing", SERVICE_QUERY_CONFIG));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), GetLastError());
}

TEST_F(HostServiceManagerTest, ADeletedEntryIsMarkedUntilItsLastHandleCloses) {
  UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  UniqueServiceHandle(create(manager.get(), "Probe"));
  UniqueServiceHandle query(OpenServiceA(manager.get(), "Probe", SERVICE_QUERY_CONFIG));
  EXPECT_FALSE(DeleteService(query.get()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  UniqueServiceHandle one(OpenServiceA(manager.get(), "Probe", DELETE));
  UniqueServiceHandle two(OpenServiceA(manager.get(), "Probe", DELETE));
  EXPECT_TRUE(DeleteService(one.get()));
  EXPECT_FALSE(DeleteService(two.get()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE), GetLastError());
  EXPECT_EQ(nullptr, create(manager.get(), "probe"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE), GetLastError());
  EXPECT_TRUE(host::serviceEntry("Probe"));
  one.reset();
  query.reset();
  EXPECT_TRUE(host::serviceEntry("Probe")) << "a handle is still open";
  two.reset();
  EXPECT_FALSE(host::serviceEntry("Probe"));
}

TEST_F(HostServiceManagerTest, TheEntryOfARunningServiceGoesOnlyOnceItHasStopped) {
  FakeService running(/*stubborn=*/true);
  UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  UniqueServiceHandle(create(manager.get(), "Probe"));
  UniqueServiceHandle service(
      OpenServiceA(manager.get(), "Probe", SERVICE_STOP | DELETE | SERVICE_QUERY_STATUS));
  SERVICE_STATUS status{};
  EXPECT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(SERVICE_STOP_PENDING, status.dwCurrentState);
  EXPECT_FALSE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL), GetLastError());
  EXPECT_TRUE(DeleteService(service.get()));
  service.reset();
  EXPECT_TRUE(host::serviceEntry("Probe")) << "the service still runs";
  running.end();
  ASSERT_TRUE(host::waitForServiceState(SERVICE_STOPPED));
  EXPECT_FALSE(host::serviceEntry("Probe"));
}

// A service that reports START_PENDING and goes on to RUNNING only when the test lets
// it; it stops on request.
class StartingService {
 public:
  StartingService() {
    current() = this;
    host::setStartedByServiceManager(true);
    dispatcher_ = std::thread([] {
      SERVICE_TABLE_ENTRYA table[] = {{const_cast<LPSTR>("Starting"), Main}, {nullptr, nullptr}};
      StartServiceCtrlDispatcherA(table);
    });
    EXPECT_TRUE(host::waitForServiceState(SERVICE_START_PENDING)) << "the service did not start";
  }
  ~StartingService() {
    set(running_, true);
    set(stopping_, true);
    dispatcher_.join();
    host::setStartedByServiceManager(false);
    current() = nullptr;
  }
  void finishStarting() { set(running_, true); }

 private:
  static StartingService*& current() {
    static StartingService* service = nullptr;
    return service;
  }
  void set(bool& flag, bool value) {
    std::lock_guard guard(lock_);
    flag = value;
    changed_.notify_all();
  }
  void waitFor(const bool& flag) {
    std::unique_lock guard(lock_);
    changed_.wait(guard, [&] { return flag; });
  }
  static void report(DWORD state) {
    SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, state, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
    SetServiceStatus(current()->handle_, &status);
  }
  static DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID) {
    if (control != SERVICE_CONTROL_STOP) return NO_ERROR;
    report(SERVICE_STOP_PENDING);
    current()->set(current()->stopping_, true);
    return NO_ERROR;
  }
  static void WINAPI Main(DWORD, LPSTR*) {
    StartingService& self = *current();
    self.handle_ = RegisterServiceCtrlHandlerExA("Starting", Handler, nullptr);
    report(SERVICE_START_PENDING);
    self.waitFor(self.running_);
    report(SERVICE_RUNNING);
    self.waitFor(self.stopping_);
    report(SERVICE_STOPPED);
  }

  SERVICE_STATUS_HANDLE handle_ = nullptr;
  std::mutex lock_;
  std::condition_variable changed_;
  bool running_ = false;
  bool stopping_ = false;
  std::thread dispatcher_;
};

TEST_F(HostServiceManagerTest, AStopIsRefusedWhileTheServiceIsStartingAndTakenOnceItRuns) {
  StartingService starting;
  UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  UniqueServiceHandle service(create(manager.get(), "Probe"));
  SERVICE_STATUS status{};
  EXPECT_FALSE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL), GetLastError());
  EXPECT_EQ(SERVICE_START_PENDING, status.dwCurrentState);
  starting.finishStarting();
  ASSERT_TRUE(host::waitForServiceState(SERVICE_RUNNING));
  EXPECT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
  EXPECT_TRUE(host::waitForServiceState(SERVICE_STOPPED));
}

TEST_F(HostServiceManagerTest, QueryServiceStatusNeedsItsAccessAndSaysStoppedForAnIdleEntry) {
  UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  UniqueServiceHandle(create(manager.get(), "Probe"));
  UniqueServiceHandle config(OpenServiceA(manager.get(), "Probe", SERVICE_QUERY_CONFIG));
  SERVICE_STATUS status{};
  EXPECT_FALSE(QueryServiceStatus(config.get(), &status));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  UniqueServiceHandle query(OpenServiceA(manager.get(), "Probe", SERVICE_QUERY_STATUS));
  ASSERT_TRUE(QueryServiceStatus(query.get(), &status));
  EXPECT_EQ(SERVICE_STOPPED, status.dwCurrentState);
}

TEST_F(HostServiceManagerTest, AServiceThatDoesNotRunCannotBeStoppedButTheRequestIsSeen) {
  UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  UniqueServiceHandle service(create(manager.get(), "Probe"));
  SERVICE_STATUS status;
  EXPECT_FALSE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE), GetLastError());
  ASSERT_EQ(1u, host::serviceControlsSent().size());
  EXPECT_EQ("Probe", host::serviceControlsSent()[0].service);
}

TEST_F(HostServiceManagerTest, WithoutAdministratorRightsOnlyAUsersAccessIsGranted) {
  host::refuseServiceManagerFullAccess(true);
  EXPECT_EQ(nullptr, OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, kManagerConnect));
  ASSERT_TRUE(manager);
  EXPECT_EQ(nullptr, create(manager.get(), "Probe"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
}

TEST_F(HostServiceManagerTest, AHandleClosesOnce) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  EXPECT_TRUE(CloseServiceHandle(manager));
  EXPECT_FALSE(CloseServiceHandle(manager));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST_F(HostServiceManagerTest, FailureActionsAreKeptInTheEntrysKeyAsWindowsKeepsThem) {
  UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  UniqueServiceHandle service(create(manager.get(), "Probe"));
  ASSERT_TRUE(service);
  SC_ACTION actions[] = {{SC_ACTION_RESTART, 60000}, {SC_ACTION_NONE, 0}};
  SERVICE_FAILURE_ACTIONSA recovery{86400, const_cast<LPSTR>("Restarting"),
                                    const_cast<LPSTR>("C:\\fix.exe"), 2, actions};
  ASSERT_TRUE(ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &recovery));
  // The reset period, two empty pointer fields, the count, the offset of the first action
  // (20), then each action's type and delay.
  const DWORD expected[] = {86400, 0, 0, 2, 20, SC_ACTION_RESTART, 60000, SC_ACTION_NONE, 0};
  UniqueKey key;
  ASSERT_EQ(ERROR_SUCCESS,
            RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\Probe", 0,
                          KEY_READ, key.put()));
  DWORD kept[16] = {};
  DWORD size = sizeof kept, type = 0;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key.get(), "FailureActions", nullptr, &type,
                                            reinterpret_cast<BYTE*>(kept), &size));
  EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
  ASSERT_EQ(sizeof expected, size);
  EXPECT_EQ(0, std::memcmp(expected, kept, sizeof expected));

  BYTE buffer[512];
  DWORD needed = 0;
  ASSERT_TRUE(QueryServiceConfig2A(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, buffer,
                                   sizeof buffer, &needed));
  const auto* read = reinterpret_cast<SERVICE_FAILURE_ACTIONSA*>(buffer);
  EXPECT_STREQ("Restarting", read->lpRebootMsg);
  EXPECT_STREQ("C:\\fix.exe", read->lpCommand);
  EXPECT_LE(needed, sizeof buffer);
  EXPECT_GE(reinterpret_cast<const BYTE*>(read->lpCommand), buffer + sizeof *read)
      << "the texts lie behind the structure, in the caller's buffer";
}

TEST_F(HostServiceManagerTest, EmptyActionsTextsAndPrivilegeListsTakeTheirValuesAway) {
  UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  UniqueServiceHandle service(create(manager.get(), "Probe"));
  ASSERT_TRUE(service);
  SC_ACTION actions[] = {{SC_ACTION_RESTART, 60000}};
  SERVICE_FAILURE_ACTIONSA recovery{86400, const_cast<LPSTR>("Restarting"), nullptr, 1, actions};
  ASSERT_TRUE(ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &recovery));
  // No array: the actions stay whatever the count and the period say.
  SERVICE_FAILURE_ACTIONSA textsOnly{0, const_cast<LPSTR>(""), nullptr, 0, nullptr};
  ASSERT_TRUE(ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &textsOnly));
  BYTE buffer[512];
  DWORD needed = 0;
  ASSERT_TRUE(QueryServiceConfig2A(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, buffer,
                                   sizeof buffer, &needed));
  auto* read = reinterpret_cast<SERVICE_FAILURE_ACTIONSA*>(buffer);
  EXPECT_EQ(1u, read->cActions);
  EXPECT_EQ(86400u, read->dwResetPeriod);
  EXPECT_EQ(nullptr, read->lpRebootMsg) << "an empty text takes it away";
  // An empty array takes the actions away.
  SC_ACTION none[1] = {};
  SERVICE_FAILURE_ACTIONSA empty{0, nullptr, nullptr, 0, none};
  ASSERT_TRUE(ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &empty));
  ASSERT_TRUE(QueryServiceConfig2A(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, buffer,
                                   sizeof buffer, &needed));
  read = reinterpret_cast<SERVICE_FAILURE_ACTIONSA*>(buffer);
  EXPECT_EQ(0u, read->cActions);
  EXPECT_EQ(nullptr, read->lpsaActions);
  UniqueKey key;
  ASSERT_EQ(ERROR_SUCCESS,
            RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\Probe", 0,
                          KEY_READ, key.put()));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND,
            RegQueryValueExA(key.get(), "FailureActions", nullptr, nullptr, nullptr, nullptr));
  // An empty list of privileges leaves no list, not an empty one.
  SERVICE_REQUIRED_PRIVILEGES_INFOA privileges{const_cast<LPSTR>("SeChangeNotifyPrivilege\0")};
  ASSERT_TRUE(
      ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, &privileges));
  privileges.pmszRequiredPrivileges = const_cast<LPSTR>("\0");
  ASSERT_TRUE(
      ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, &privileges));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND,
            RegQueryValueExA(key.get(), "RequiredPrivileges", nullptr, nullptr, nullptr, nullptr));
}

}  // namespace
}  // namespace kstv::test

namespace kstv::test {
namespace {

TEST_F(HostServiceManagerTest,
       StartServiceStartsAStoppedServiceOnceAndARunningOneGoesOnWithAChange) {
  UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  UniqueServiceHandle service(create(manager.get(), "Probe"));
  FakeService running;
  SetLastError(0);
  EXPECT_FALSE(StartServiceA(service.get(), 0, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING), GetLastError());
  // A change while it runs is taken; the run goes on.
  EXPECT_TRUE(ChangeServiceConfigA(service.get(), SERVICE_NO_CHANGE, SERVICE_AUTO_START,
                                   SERVICE_NO_CHANGE, "C:\\y.exe", nullptr, nullptr, nullptr,
                                   nullptr, nullptr, "Shown at once"));
  EXPECT_EQ("C:\\y.exe", host::serviceEntry("Probe")->imagePath);
  EXPECT_EQ("Shown at once", host::serviceEntry("Probe")->displayName);
  EXPECT_EQ(SERVICE_RUNNING, host::serviceStatusReports().back().dwCurrentState);

  SERVICE_STATUS status{};
  ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
  ASSERT_TRUE(host::waitForServiceState(SERVICE_STOPPED));
  EXPECT_TRUE(StartServiceA(service.get(), 0, nullptr));
  EXPECT_EQ(2, running.runs());
  EXPECT_EQ(SERVICE_RUNNING, host::serviceStatusReports().back().dwCurrentState);

  ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
  ASSERT_TRUE(host::waitForServiceState(SERVICE_STOPPED));
  ASSERT_TRUE(DeleteService(service.get()));
  SetLastError(0);
  EXPECT_FALSE(StartServiceA(service.get(), 0, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE), GetLastError());
  EXPECT_EQ(2, running.runs());
}

}  // namespace
}  // namespace kstv::test

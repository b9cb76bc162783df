// The service entry of a registration road: made, brought up to date in place, its
// service stopped, or removed.
#include <iterator>

#include "module/ServiceModule.h"
#include "platform/handles.h"
#include "service/ProgramLocation.h"
#include "service/ServiceMessages.h"

namespace kstv {
namespace {

constexpr char kServiceDisplayName[] = "Kestrova Card Reader Service";
// A list of names, each ending in a NUL, ended by an empty name.
constexpr char kServiceDependencies[] = "RPCSS\0";
// What the Services console says of the service.
constexpr char kServiceDescription[] =
    "Gives each memory card in Kestrova's card reader its own icon and label in Explorer "
    "while the card is inserted.";

// Recovery: the service is started again a minute after its first and its second failure
// and left stopped after more; the count starts afresh after a day without failure. A
// stop with an exit code of its own counts as a failure: after a failed subscription (WMI
// may come up late at boot) a new start helps. The other such stop, on a Windows too old,
// cannot happen to an installed service, since -Service refuses to install there.
constexpr DWORD kRestartDelayMilliseconds = 60 * 1000;
constexpr DWORD kFailureCountResetSeconds = 24 * 60 * 60;

// The privileges the service manager leaves in the run's token; it takes every other
// privilege of the system account away at start. The run needs none: the keys it writes,
// its log and the volumes it probes are open to the system by their access lists, and WMI,
// COM, the event log and a name in the global namespace (made in session 0) ask no
// privilege of it. The manager keeps this one whatever the list says; it is named all the
// same, so that the list is never empty.
constexpr char kRequiredPrivileges[] = "SeChangeNotifyPrivilege\0";

// How long a road waits for the old service to stop, or for an entry marked for deletion
// to go, and how often it looks.
constexpr DWORD kServiceWaitMilliseconds = 30000;
constexpr DWORD kServicePollMilliseconds = 250;

// Gives the entry its description and its recovery. A failure is shown but fails
// nothing: the entry itself is sound.
void DescribeService(ServiceModule& module, SC_HANDLE service) {
  SERVICE_DESCRIPTIONA description{const_cast<LPSTR>(kServiceDescription)};
  if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &description))
    module.ShowMessage(kCannotDescribeService);

  SC_ACTION actions[] = {{SC_ACTION_RESTART, kRestartDelayMilliseconds},
                         {SC_ACTION_RESTART, kRestartDelayMilliseconds},
                         {SC_ACTION_NONE, 0}};
  SERVICE_FAILURE_ACTIONSA recovery{kFailureCountResetSeconds, nullptr, nullptr,
                                    static_cast<DWORD>(std::size(actions)), actions};
  SERVICE_FAILURE_ACTIONS_FLAG stopsWithACode{TRUE};
  if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &recovery) ||
      !ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &stopsWithACode))
    module.ShowMessage(kCannotSetRecovery);
}

// Leaves the run only the privileges it needs, and gives the service its own SID
// (NT SERVICE\KstvCardReader) in its token, which access lists may name. A failure is
// shown but fails nothing, as the description's: the service runs as before.
void RestrictService(ServiceModule& module, SC_HANDLE service) {
  SERVICE_REQUIRED_PRIVILEGES_INFOA privileges{const_cast<LPSTR>(kRequiredPrivileges)};
  if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, &privileges))
    module.ShowMessage(kCannotSetPrivileges);
  SERVICE_SID_INFO sid{SERVICE_SID_TYPE_UNRESTRICTED};
  if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_SERVICE_SID_INFO, &sid))
    module.ShowMessage(kCannotSetServiceSid);
}

// The entry's optional configuration, set on a new entry and again on a changed one.
void ConfigureService(ServiceModule& module, SC_HANDLE service) {
  DescribeService(module, service);
  RestrictService(module, service);
}

// Polls `done` until it holds or the bound has passed since `start`; true when it held.
template <typename Condition>
bool WaitUntil(DWORD start, Condition done) {
  for (;;) {
    if (done()) return true;
    if (GetTickCount() - start >= kServiceWaitMilliseconds) return false;
    Sleep(kServicePollMilliseconds);
  }
}

// True once the service reports STOPPED. The manager refuses a stop while the service is
// still starting, so a service that is neither stopping nor stopped is asked again.
bool HasStopped(SC_HANDLE service) {
  SERVICE_STATUS status;
  // A status that cannot be read says nothing: only the bound ends the wait then.
  if (!QueryServiceStatus(service, &status)) return false;
  if (status.dwCurrentState == SERVICE_STOPPED) return true;
  if (status.dwCurrentState != SERVICE_STOP_PENDING)
    ControlService(service, SERVICE_CONTROL_STOP, &status);
  return false;
}

// Asks the service to stop and waits, bounded, until it has; true once it has (or never
// ran). `wasRunning` says whether it ran (or was starting) before it was asked.
bool StopAndWait(SC_HANDLE service, bool& wasRunning) {
  const DWORD start = GetTickCount();
  SERVICE_STATUS status{};
  if (ControlService(service, SERVICE_CONTROL_STOP, &status)) {
    wasRunning = true;
  } else {
    if (GetLastError() == ERROR_SERVICE_NOT_ACTIVE) return true;
    // Refused while it starts, stops or has stopped: the status says which.
    wasRunning =
        status.dwCurrentState != SERVICE_STOPPED && status.dwCurrentState != SERVICE_STOP_PENDING;
  }
  return WaitUntil(start, [&] { return HasStopped(service); });
}

// The code a failed call left, never 0, so that a failure is never reported as success.
DWORD FailureCode() {
  DWORD code = GetLastError();
  return code != ERROR_SUCCESS ? code : static_cast<DWORD>(ERROR_GEN_FAILURE);
}

}  // namespace

bool ServiceModule::ServiceExists() {
  UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return false;
  UniqueServiceHandle service(OpenServiceA(manager.get(), serviceName, SERVICE_QUERY_CONFIG));
  return static_cast<bool>(service);
}

DWORD ServiceModule::InstallService(bool* created) {
  if (created) *created = false;
  if (ServiceExists()) return ERROR_SUCCESS;  // an existing entry is spared
  UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    DWORD code = FailureCode();
    ShowMessage(kCannotOpenManager);
    return code;
  }
  char imagePath[MAX_PATH + 2];
  if (!QuotedProgramPath(imagePath)) {
    manager.reset();
    ShowMessage(kCannotCreateService);
    return ERROR_FILENAME_EXCED_RANGE;
  }
  // An old entry that is still marked for deletion goes once its process has ended.
  UniqueServiceHandle service;
  DWORD code = ERROR_SUCCESS;
  WaitUntil(GetTickCount(), [&] {
    service.reset(CreateServiceA(manager.get(), serviceName, kServiceDisplayName,
                                 SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                 SERVICE_ERROR_NORMAL, imagePath, nullptr, nullptr,
                                 kServiceDependencies, nullptr, nullptr));
    code = service ? ERROR_SUCCESS : FailureCode();
    return code != ERROR_SERVICE_MARKED_FOR_DELETE;
  });
  if (!service) {
    manager.reset();
    ShowMessage(kCannotCreateService);
    return code;
  }
  if (created) *created = true;
  ConfigureService(*this, service.get());
  return ERROR_SUCCESS;
}

DWORD ServiceModule::UpdateService(ServiceEntryChanges& changes) {
  UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    DWORD code = FailureCode();
    ShowMessage(kCannotOpenManager);
    return code;
  }
  char imagePath[MAX_PATH + 2];
  if (!QuotedProgramPath(imagePath)) {
    manager.reset();
    ShowMessage(kCannotChangeService);
    return ERROR_FILENAME_EXCED_RANGE;
  }
  // Changed in place, never deleted and made again: a handle that another program holds
  // (the Services console) cannot keep a deletion pending, and nothing is ever without
  // its entry. Restarting failure actions need the right to start the service.
  UniqueServiceHandle service(
      OpenServiceA(manager.get(), serviceName, SERVICE_CHANGE_CONFIG | SERVICE_START));
  const bool opened = static_cast<bool>(service);
  DWORD code = opened ? ERROR_SUCCESS : FailureCode();
  if (opened && !ChangeServiceConfigA(service.get(), SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                      SERVICE_ERROR_NORMAL, imagePath, nullptr, nullptr,
                                      kServiceDependencies, nullptr, nullptr, kServiceDisplayName))
    code = FailureCode();
  if (code == ERROR_SUCCESS) {
    changes.reconfigured = true;
    ConfigureService(*this, service.get());
    return ERROR_SUCCESS;
  }
  service.reset();
  manager.reset();
  // Someone deleted the entry while its service ran: it goes now that the service has
  // stopped, once the last handle to it closes, and a new one is made then.
  if (code == ERROR_SERVICE_MARKED_FOR_DELETE || code == ERROR_SERVICE_DOES_NOT_EXIST) {
    if (WaitUntil(GetTickCount(), [&] { return !ServiceExists(); }))
      return InstallService(&changes.created);
    ShowMessage(kCannotCreateService);
    return ERROR_SERVICE_MARKED_FOR_DELETE;
  }
  ShowMessage(opened ? kCannotChangeService : kCannotOpenService);
  return code;
}

DWORD ServiceModule::StopService(bool* stopped) {
  *stopped = false;
  UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    DWORD code = FailureCode();
    ShowMessage(kCannotOpenManager);
    return code;
  }
  UniqueServiceHandle service(
      OpenServiceA(manager.get(), serviceName, SERVICE_STOP | SERVICE_QUERY_STATUS));
  if (!service) {
    DWORD code = FailureCode();
    if (code == ERROR_SERVICE_DOES_NOT_EXIST) return ERROR_SUCCESS;
    manager.reset();
    ShowMessage(kCannotOpenService);
    return code;
  }
  bool wasRunning = false;
  const bool ended = StopAndWait(service.get(), wasRunning);
  // The stop was asked for either way: a failed road starts the service again.
  *stopped = wasRunning;
  if (!ended) {
    service.reset();
    manager.reset();
    ShowMessage(kServiceDidNotStop);
    return ERROR_SERVICE_REQUEST_TIMEOUT;
  }
  return ERROR_SUCCESS;
}

bool ServiceModule::RestartService() {
  UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  UniqueServiceHandle service(
      manager ? OpenServiceA(manager.get(), serviceName, SERVICE_START | SERVICE_QUERY_STATUS)
              : nullptr);
  if (!service) return false;
  // A stop that outlasted the road's wait may still be under way; the manager starts the
  // service only once it has stopped. One that someone started meanwhile runs already.
  DWORD state = SERVICE_STOP_PENDING;
  const bool settled = WaitUntil(GetTickCount(), [&] {
    SERVICE_STATUS status;
    if (!QueryServiceStatus(service.get(), &status)) return false;
    state = status.dwCurrentState;
    return state == SERVICE_STOPPED || state == SERVICE_RUNNING || state == SERVICE_START_PENDING;
  });
  if (!settled) return false;
  return state != SERVICE_STOPPED || StartServiceA(service.get(), 0, nullptr) ||
         GetLastError() == ERROR_SERVICE_ALREADY_RUNNING;
}

DWORD ServiceModule::RemoveService() {
  if (!ServiceExists()) return ERROR_SUCCESS;
  UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    DWORD code = FailureCode();
    ShowMessage(kCannotOpenManager);
    return code;
  }
  UniqueServiceHandle service(
      OpenServiceA(manager.get(), serviceName, SERVICE_STOP | DELETE | SERVICE_QUERY_STATUS));
  if (!service) {
    DWORD code = FailureCode();
    manager.reset();
    ShowMessage(kCannotOpenService);
    return code;
  }
  // A running service is asked to stop and waited for. The entry goes once its service has
  // stopped and the last handle to it has closed (the Services console may hold one):
  // deleted, or marked for deletion by someone else already, it is on its way.
  bool wasRunning = false;
  StopAndWait(service.get(), wasRunning);
  DWORD code = DeleteService(service.get()) ? ERROR_SUCCESS : FailureCode();
  if (code == ERROR_SERVICE_MARKED_FOR_DELETE) code = ERROR_SUCCESS;
  service.reset();
  manager.reset();
  if (code != ERROR_SUCCESS) ShowMessage(kCannotDeleteService);
  return code;
}

}  // namespace kstv

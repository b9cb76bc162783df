// Installation and AppID registration: RegServer and Service register the program (the
// second also as a service that COM may start); UnregServer removes its service entry.
#include <iterator>

#include "module/ServiceModule.h"
#include "platform/com_apartment.h"
#include "platform/handles.h"
#include "registrar/ScriptSources.h"
#include "registrar/TypeLibraryRegistration.h"
#include "registry/RegistryKey.h"
#include "service/AppId.h"
#include "service/ProgramLocation.h"

namespace kstv {
namespace {

// Returned by a registration on a system older than Windows 8 / Server 2012.
constexpr HRESULT kUnsupportedOperatingSystem = static_cast<HRESULT>(0x80110449L);

constexpr char kLocalServiceValue[] = "KstvCardReader";
constexpr char kServiceParametersValue[] = "-Service";

// The service entry.
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

// How long a reinstallation waits for the old service to stop and for its entry to go,
// and how often it looks.
constexpr DWORD kServiceWaitMilliseconds = 30000;
constexpr DWORD kServicePollMilliseconds = 250;

// What the user is told when the service manager refuses.
constexpr char kCannotOpenManager[] = "Couldn't open service manager";
constexpr char kCannotCreateService[] = "Couldn't create service";
constexpr char kCannotOpenService[] = "Couldn't open service";
constexpr char kCannotDeleteService[] = "Service could not be deleted";
constexpr char kCannotDescribeService[] = "Couldn't set the service's description";
constexpr char kCannotSetRecovery[] = "Couldn't set the service's recovery";

LONG OpenForWriting(HKEY parent, LPCSTR name, RegistryKey& key) {
  HKEY opened = nullptr;
  LONG result = RegOpenKeyExA(parent, name, 0, kKeyWrite, &opened);
  if (result == ERROR_SUCCESS) key.attach(opened);
  return result;
}

void SetString(const RegistryKey& key, LPCSTR name, const char* text, DWORD byteCount) {
  RegSetValueExA(key.handle(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), byteCount);
}

// The image path handed to the service manager: the executable's path in double quotes,
// so that a path with blanks cannot be read as a shorter program and its arguments.
bool QuotedImagePath(char (&quoted)[MAX_PATH + 2]) {
  char path[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (length == 0 || length == MAX_PATH) return false;
  quoted[0] = '"';
  for (DWORD i = 0; i < length; ++i) quoted[i + 1] = path[i];
  quoted[length + 1] = '"';
  quoted[length + 2] = '\0';
  return true;
}

// Gives a new entry its description and its recovery. A failure is shown but fails
// nothing: the entry itself is sound.
void DescribeService(SC_HANDLE service, const char* caption) {
  SERVICE_DESCRIPTIONA description{const_cast<LPSTR>(kServiceDescription)};
  if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &description))
    MessageBoxA(nullptr, kCannotDescribeService, caption, MB_OK);

  SC_ACTION actions[] = {{SC_ACTION_RESTART, kRestartDelayMilliseconds},
                         {SC_ACTION_RESTART, kRestartDelayMilliseconds},
                         {SC_ACTION_NONE, 0}};
  SERVICE_FAILURE_ACTIONSA recovery{kFailureCountResetSeconds, nullptr, nullptr,
                                    static_cast<DWORD>(std::size(actions)), actions};
  SERVICE_FAILURE_ACTIONS_FLAG stopsWithACode{TRUE};
  if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &recovery) ||
      !ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &stopsWithACode))
    MessageBoxA(nullptr, kCannotSetRecovery, caption, MB_OK);
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

// The code a failed call left, never 0, so that a failure is never reported as success.
DWORD FailureCode() {
  DWORD code = GetLastError();
  return code != ERROR_SUCCESS ? code : static_cast<DWORD>(ERROR_GEN_FAILURE);
}

// The registration's own writes: the AppID script, the AppID values, the service entry
// (`serviceCreated` once it is made) and the type library. The first failure is the
// result: a Win32 code, or an HRESULT.
HRESULT WriteRegistration(ServiceModule& module, BOOL registerTypeLibrary, BOOL asService,
                          bool& serviceCreated) {
  applyRegistrationScript(kRegistrationScriptResourceId, TRUE, nullptr);
  RegistryKey appIdKey;
  RegistryKey appIdGuidKey;
  LONG status = OpenForWriting(HKEY_CLASSES_ROOT, kAppIdKeyName, appIdKey);
  if (status != ERROR_SUCCESS) return status;
  status = OpenForWriting(appIdKey.handle(), kAppIdGuidKeyName, appIdGuidKey);
  if (status != ERROR_SUCCESS) return status;

  RegDeleteValueA(appIdGuidKey.handle(), kLocalServiceValueName);
  if (asService) {
    SetString(appIdGuidKey, kLocalServiceValueName, kLocalServiceValue, sizeof kLocalServiceValue);
    SetString(appIdGuidKey, kServiceParametersValueName, kServiceParametersValue,
              sizeof kServiceParametersValue);
    const DWORD installation = module.InstallService();
    if (installation != ERROR_SUCCESS) return static_cast<HRESULT>(installation);
    serviceCreated = true;
  }
  const HRESULT library = registerServerEntries(module, registerTypeLibrary);
  return FAILED(library) ? library : S_OK;
}

void UndoRegistration(ServiceModule& module, bool serviceCreated) {
  applyRegistrationScript(kRegistrationScriptResourceId, FALSE, nullptr);
  // Only the entry this road made: any other was removed before, or is not this program's.
  if (serviceCreated) module.RemoveService();
  removeOwnTypeLibraryRegistration(module);
}

}  // namespace

HRESULT ServiceModule::RegisterApplication(BOOL registerTypeLibrary, BOOL asService) {
  ComApartment apartment;
  if (FAILED(apartment.result())) return apartment.result();
  ResetDebugLog();
  OpenDebugLog();
  if (!IsSupportedOperatingSystem()) return kUnsupportedOperatingSystem;
  // A service runs the program as the system: where others may change it, nothing is
  // registered or removed.
  if (asService) {
    const DWORD location = CheckServiceProgramLocation(serviceName);
    if (location != ERROR_SUCCESS) return static_cast<HRESULT>(location);
  }

  // An old entry that could not be removed would be kept with its old program path: the
  // service road registers nothing then. One that is only marked for deletion (its
  // service did not stop in time) goes once its process ends: the rest of the old
  // registration, which names it, goes now, so that none of it is left half.
  const DWORD removal = RemoveService();
  if (asService && removal != ERROR_SUCCESS) {
    if (removal == ERROR_SERVICE_MARKED_FOR_DELETE) UndoRegistration(*this, false);
    return static_cast<HRESULT>(removal);
  }

  bool serviceCreated = false;
  const HRESULT result = WriteRegistration(*this, registerTypeLibrary, asService, serviceCreated);
  // A road that fails after it has changed anything leaves no part of the registration.
  if (result != S_OK) UndoRegistration(*this, serviceCreated);
  return result;
}

HRESULT ServiceModule::UnregisterApplication() {
  const HRESULT script = applyRegistrationScript(kRegistrationScriptResourceId, FALSE, nullptr);
  const DWORD removal = RemoveService();
  const HRESULT library = removeOwnTypeLibraryRegistration(*this);
  if (FAILED(script)) return script;
  if (removal != ERROR_SUCCESS) return static_cast<HRESULT>(removal);
  return library;
}

bool ServiceModule::ServiceExists() {
  UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return false;
  UniqueServiceHandle service(OpenServiceA(manager.get(), serviceName, SERVICE_QUERY_CONFIG));
  return static_cast<bool>(service);
}

DWORD ServiceModule::InstallService() {
  if (ServiceExists()) return ERROR_SUCCESS;  // an existing entry is spared
  UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    DWORD code = FailureCode();
    MessageBoxA(nullptr, kCannotOpenManager, serviceName, MB_OK);
    return code;
  }
  char imagePath[MAX_PATH + 2];
  if (!QuotedImagePath(imagePath)) {
    manager.reset();
    MessageBoxA(nullptr, kCannotCreateService, serviceName, MB_OK);
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
    MessageBoxA(nullptr, kCannotCreateService, serviceName, MB_OK);
    return code;
  }
  DescribeService(service.get(), serviceName);
  return ERROR_SUCCESS;
}

DWORD ServiceModule::RemoveService() {
  if (!ServiceExists()) return ERROR_SUCCESS;
  UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    DWORD code = FailureCode();
    MessageBoxA(nullptr, kCannotOpenManager, serviceName, MB_OK);
    return code;
  }
  UniqueServiceHandle service(
      OpenServiceA(manager.get(), serviceName, SERVICE_STOP | DELETE | SERVICE_QUERY_STATUS));
  if (!service) {
    DWORD code = FailureCode();
    manager.reset();
    MessageBoxA(nullptr, kCannotOpenService, serviceName, MB_OK);
    return code;
  }
  // A running service is asked to stop and waited for: the entry of a running service
  // would only be marked for deletion, and go later, after the new one was made.
  const DWORD start = GetTickCount();
  SERVICE_STATUS status;
  ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
  WaitUntil(start, [&] { return HasStopped(service.get()); });
  DWORD code = DeleteService(service.get()) ? ERROR_SUCCESS : FailureCode();
  // Someone else's deletion is already under way: the entry goes as after our own.
  if (code == ERROR_SERVICE_MARKED_FOR_DELETE) code = ERROR_SUCCESS;
  service.reset();
  manager.reset();
  // The entry goes once the service has stopped and the last handle is closed.
  if (code == ERROR_SUCCESS && !WaitUntil(start, [&] { return !ServiceExists(); }))
    code = ERROR_SERVICE_MARKED_FOR_DELETE;
  if (code != ERROR_SUCCESS) MessageBoxA(nullptr, kCannotDeleteService, serviceName, MB_OK);
  return code;
}

}  // namespace kstv

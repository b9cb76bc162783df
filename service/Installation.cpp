// Installation and AppID registration: RegServer and Service register the program (the
// second also as a service that COM may start); UnregServer removes its service entry.
#include "module/ServiceModule.h"
#include "platform/com_apartment.h"
#include "platform/handles.h"
#include "registrar/ScriptSources.h"
#include "registrar/TypeLibraryRegistration.h"
#include "registry/RegistryKey.h"
#include "service/AppId.h"

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

// How long a reinstallation waits for the old service to stop and for its entry to go,
// and how often it looks.
constexpr DWORD kServiceWaitMilliseconds = 30000;
constexpr DWORD kServicePollMilliseconds = 250;

// What the user is told when the service manager refuses.
constexpr char kCannotOpenManager[] = "Couldn't open service manager";
constexpr char kCannotCreateService[] = "Couldn't create service";
constexpr char kCannotOpenService[] = "Couldn't open service";
constexpr char kCannotDeleteService[] = "Service could not be deleted";

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

// Polls `done` until it holds or the bound has passed since `start`; true when it held.
template <typename Condition>
bool WaitUntil(DWORD start, Condition done) {
  for (;;) {
    if (done()) return true;
    if (GetTickCount() - start >= kServiceWaitMilliseconds) return false;
    Sleep(kServicePollMilliseconds);
  }
}

bool HasStopped(SC_HANDLE service) {
  SERVICE_STATUS status;
  // A status that cannot be read says nothing: only the bound ends the wait then.
  return QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_STOPPED;
}

// The code a failed call left, never 0, so that a failure is never reported as success.
DWORD FailureCode() {
  DWORD code = GetLastError();
  return code != ERROR_SUCCESS ? code : static_cast<DWORD>(ERROR_GEN_FAILURE);
}

}  // namespace

HRESULT ServiceModule::RegisterApplication(BOOL registerTypeLibrary, BOOL asService) {
  // The keys close after the apartment is left, whichever way the road ends.
  RegistryKey appIdKey;
  RegistryKey appIdGuidKey;
  ComApartment apartment;
  if (FAILED(apartment.result())) return apartment.result();
  ResetDebugLog();
  OpenDebugLog();
  if (!IsSupportedOperatingSystem()) return kUnsupportedOperatingSystem;

  const DWORD removal = RemoveService();
  applyRegistrationScript(kRegistrationScriptResourceId, TRUE, nullptr);

  LONG status = OpenForWriting(HKEY_CLASSES_ROOT, kAppIdKeyName, appIdKey);
  if (status != ERROR_SUCCESS) return status;
  status = OpenForWriting(appIdKey.handle(), kAppIdGuidKeyName, appIdGuidKey);
  if (status != ERROR_SUCCESS) return status;

  RegDeleteValueA(appIdGuidKey.handle(), kLocalServiceValueName);
  // The service road fails when the old entry could not be removed (it would be kept
  // with its old program path) or the new one could not be created.
  DWORD installation = ERROR_SUCCESS;
  if (asService) {
    SetString(appIdGuidKey, kLocalServiceValueName, kLocalServiceValue, sizeof kLocalServiceValue);
    SetString(appIdGuidKey, kServiceParametersValueName, kServiceParametersValue,
              sizeof kServiceParametersValue);
    installation = removal != ERROR_SUCCESS ? removal : InstallService();
  }

  HRESULT result = registerServerEntries(*this, registerTypeLibrary);
  if (installation != ERROR_SUCCESS) result = static_cast<HRESULT>(installation);
  return result;
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
  service.reset();
  manager.reset();
  // The entry goes once the service has stopped and the last handle is closed.
  if (code == ERROR_SUCCESS && !WaitUntil(start, [&] { return !ServiceExists(); }))
    code = ERROR_SERVICE_MARKED_FOR_DELETE;
  if (code != ERROR_SUCCESS) MessageBoxA(nullptr, kCannotDeleteService, serviceName, MB_OK);
  return code;
}

}  // namespace kstv

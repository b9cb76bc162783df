// Installation and AppID registration: RegServer and Service register the program (the
// second also as a service that COM may start); UnregServer removes its service entry.
#include "platform/handles.h"
#include "registrar/ScriptSources.h"
#include "registrar/TypeLibraryRegistration.h"
#include "registry/RegistryKey.h"
#include "service/AppId.h"
#include "service/ServiceModule.h"

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

}  // namespace

HRESULT ServiceModule::RegisterApplication(BOOL registerTypeLibrary, BOOL asService) {
  HRESULT result = CoInitialize(nullptr);
  if (FAILED(result)) return result;
  ResetDebugLog();
  OpenDebugLog();
  if (!IsSupportedOperatingSystem()) return kUnsupportedOperatingSystem;

  RemoveService();
  applyRegistrationScript(kRegistrationScriptResourceId, TRUE, nullptr);

  RegistryKey appIdKey;
  LONG status = OpenForWriting(HKEY_CLASSES_ROOT, kAppIdKeyName, appIdKey);
  if (status != ERROR_SUCCESS) {
    CoUninitialize();
    return status;
  }
  RegistryKey appIdGuidKey;
  status = OpenForWriting(appIdKey.handle(), kAppIdGuidKeyName, appIdGuidKey);
  if (status != ERROR_SUCCESS) {
    CoUninitialize();
    return status;  // appIdKey closes on the way out
  }

  RegDeleteValueA(appIdGuidKey.handle(), kLocalServiceValueName);
  if (asService) {
    SetString(appIdGuidKey, kLocalServiceValueName, kLocalServiceValue, sizeof kLocalServiceValue);
    SetString(appIdGuidKey, kServiceParametersValueName, kServiceParametersValue,
              sizeof kServiceParametersValue);
    InstallService();
  }

  result = registerServerEntries(*this, registerTypeLibrary);
  CoUninitialize();
  appIdGuidKey.close();
  appIdKey.close();
  return result;
}

bool ServiceModule::ServiceExists() {
  UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return false;
  UniqueServiceHandle service(OpenServiceA(manager.get(), serviceName, SERVICE_QUERY_CONFIG));
  return static_cast<bool>(service);
}

bool ServiceModule::InstallService() {
  if (ServiceExists()) return true;
  UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    MessageBoxA(nullptr, kCannotOpenManager, serviceName, MB_OK);
    return false;
  }
  char imagePath[MAX_PATH + 2];
  UniqueServiceHandle service;
  if (QuotedImagePath(imagePath)) {
    service.reset(CreateServiceA(manager.get(), serviceName, kServiceDisplayName,
                                 SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                 SERVICE_ERROR_NORMAL, imagePath, nullptr, nullptr,
                                 kServiceDependencies, nullptr, nullptr));
  }
  if (!service) {
    manager.reset();
    MessageBoxA(nullptr, kCannotCreateService, serviceName, MB_OK);
    return false;
  }
  return true;
}

bool ServiceModule::RemoveService() {
  if (!ServiceExists()) return true;
  UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    MessageBoxA(nullptr, kCannotOpenManager, serviceName, MB_OK);
    return false;
  }
  UniqueServiceHandle service(OpenServiceA(manager.get(), serviceName, SERVICE_STOP | DELETE));
  if (!service) {
    manager.reset();
    MessageBoxA(nullptr, kCannotOpenService, serviceName, MB_OK);
    return false;
  }
  // A running service is asked to stop; nothing waits for it.
  SERVICE_STATUS status;
  ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
  bool deleted = DeleteService(service.get()) != FALSE;
  service.reset();
  manager.reset();
  if (!deleted) MessageBoxA(nullptr, kCannotDeleteService, serviceName, MB_OK);
  return deleted;
}

}  // namespace kstv

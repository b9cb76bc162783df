#include "service/RegistrationSnapshot.h"

#include <cstdio>

#include "platform/handles.h"
#include "service/AppId.h"
#include "service/EventSource.h"
#include "service/ServiceConfiguration.h"
#include "service/ServiceMessages.h"

namespace kstv {
namespace {

constexpr int kKeyPathCapacity = 96;

// "AppID\<name>", below HKEY_CLASSES_ROOT.
void AppIdKeyPath(const char* name, char (&path)[kKeyPathCapacity]) {
  std::snprintf(path, sizeof path, "%s\\%s", kAppIdKeyName, name);
}

}  // namespace

HRESULT RegistrationSnapshot::take(ServiceModule& module) {
  char path[kKeyPathCapacity];
  AppIdKeyPath(kAppIdGuidKeyName, path);
  LONG read = appId_.take(HKEY_CLASSES_ROOT, path);
  AppIdKeyPath(kAppIdExecutableKeyName, path);
  if (read == ERROR_SUCCESS) read = executable_.take(HKEY_CLASSES_ROOT, path);
  if (read != ERROR_SUCCESS) return static_cast<HRESULT>(read);
  HRESULT result = ownTypeLibraryKeyName(module, libraryKeyName_);
  if (FAILED(result)) return result;
  read = library_.take(HKEY_CLASSES_ROOT, libraryKeyName_);
  char sourcePath[kEventSourceKeyPathCapacity];
  EventSourceKeyPath(module, sourcePath);
  if (read == ERROR_SUCCESS) read = eventSource_.take(HKEY_LOCAL_MACHINE, sourcePath);
  if (read != ERROR_SUCCESS) return static_cast<HRESULT>(read);
  return takeServiceEntry(module);
}

HRESULT RegistrationSnapshot::takeServiceEntry(ServiceModule& module) {
  // A manager this road cannot open with full access shows it no entry to change either.
  UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return S_OK;
  UniqueServiceHandle service(
      OpenServiceA(manager.get(), module.serviceName, SERVICE_QUERY_CONFIG));
  if (!service) {
    const DWORD code = GetLastError();
    if (code == ERROR_SERVICE_DOES_NOT_EXIST) return S_OK;
    service.reset();
    manager.reset();
    module.ShowMessage(kCannotOpenService);
    return static_cast<HRESULT>(code != ERROR_SUCCESS ? code : ERROR_GEN_FAILURE);
  }
  DWORD code = ERROR_SUCCESS;
  entryConfig_ = ReadServiceConfiguration(service.get(), code);
  if (!entryConfig_) return static_cast<HRESULT>(code);
  description_ = ReadOptionalServiceConfiguration(service.get(), SERVICE_CONFIG_DESCRIPTION);
  recovery_ = ReadOptionalServiceConfiguration(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS);
  recoveryFlag_ =
      ReadOptionalServiceConfiguration(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG);
  sidType_ = ReadOptionalServiceConfiguration(service.get(), SERVICE_CONFIG_SERVICE_SID_INFO);
  privileges_ =
      ReadOptionalServiceConfiguration(service.get(), SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO);
  return S_OK;
}

bool RegistrationSnapshot::restoreServiceEntry(ServiceModule& module) const {
  UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  UniqueServiceHandle service(manager ? OpenServiceA(manager.get(), module.serviceName,
                                                     SERVICE_CHANGE_CONFIG | SERVICE_START)
                                      : nullptr);
  if (!service) return false;
  // What the road changes, and nothing else: the account and the group stay as they are.
  const auto* config = reinterpret_cast<const QUERY_SERVICE_CONFIGA*>(entryConfig_.get());
  bool whole = ChangeServiceConfigA(service.get(), config->dwServiceType, config->dwStartType,
                                    config->dwErrorControl, config->lpBinaryPathName, nullptr,
                                    nullptr, config->lpDependencies, nullptr, nullptr,
                                    config->lpDisplayName) != FALSE;
  if (description_) {
    SERVICE_DESCRIPTIONA description =
        *reinterpret_cast<const SERVICE_DESCRIPTIONA*>(description_.get());
    // An empty description takes the road's away.
    if (!description.lpDescription) description.lpDescription = const_cast<LPSTR>("");
    whole &= ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_DESCRIPTION, &description) != 0;
  }
  if (recovery_) {
    SERVICE_FAILURE_ACTIONSA recovery =
        *reinterpret_cast<const SERVICE_FAILURE_ACTIONSA*>(recovery_.get());
    // The reboot message and the command were left alone. An empty list of actions with
    // an array takes the road's away.
    recovery.lpRebootMsg = nullptr;
    recovery.lpCommand = nullptr;
    SC_ACTION none{SC_ACTION_NONE, 0};
    if (!recovery.lpsaActions) {
      recovery.lpsaActions = &none;
      recovery.cActions = 0;
    }
    whole &= ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &recovery) != 0;
  }
  if (recoveryFlag_) {
    SERVICE_FAILURE_ACTIONS_FLAG flag =
        *reinterpret_cast<const SERVICE_FAILURE_ACTIONS_FLAG*>(recoveryFlag_.get());
    whole &= ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag) != 0;
  }
  if (sidType_) {
    SERVICE_SID_INFO sid = *reinterpret_cast<const SERVICE_SID_INFO*>(sidType_.get());
    whole &= ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_SERVICE_SID_INFO, &sid) != 0;
  }
  if (privileges_) {
    SERVICE_REQUIRED_PRIVILEGES_INFOA privileges =
        *reinterpret_cast<const SERVICE_REQUIRED_PRIVILEGES_INFOA*>(privileges_.get());
    // No list before: an empty one (both NULs) takes the road's away.
    if (!privileges.pmszRequiredPrivileges)
      privileges.pmszRequiredPrivileges = const_cast<LPSTR>("\0");
    whole &= ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO,
                                   &privileges) != 0;
  }
  return whole;
}

void RegistrationSnapshot::restore(ServiceModule& module,
                                   const ServiceEntryChanges& changes) const {
  module.DebugPrint("RegisterApplication() puts the previous registration back\n");
  bool whole = true;
  // An entry this road found and spared is not its to delete.
  if (changes.created)
    whole &= module.RemoveService() == ERROR_SUCCESS;
  else if (changes.reconfigured)
    whole &= restoreServiceEntry(module);
  char path[kKeyPathCapacity];
  AppIdKeyPath(kAppIdGuidKeyName, path);
  whole &= appId_.restore(HKEY_CLASSES_ROOT, path) == ERROR_SUCCESS;
  AppIdKeyPath(kAppIdExecutableKeyName, path);
  whole &= executable_.restore(HKEY_CLASSES_ROOT, path) == ERROR_SUCCESS;
  whole &= library_.restore(HKEY_CLASSES_ROOT, libraryKeyName_) == ERROR_SUCCESS;
  // Only when the road wrote it: a road that could not has nothing to undo there, and may
  // not have the right to.
  if (changes.eventSourceWritten) {
    char sourcePath[kEventSourceKeyPathCapacity];
    EventSourceKeyPath(module, sourcePath);
    whole &= eventSource_.restore(HKEY_LOCAL_MACHINE, sourcePath) == ERROR_SUCCESS;
  }
  if (changes.stopped && !changes.created) whole &= module.RestartService();
  if (!whole) module.ShowMessage(kCannotRestoreRegistration);
}

}  // namespace kstv

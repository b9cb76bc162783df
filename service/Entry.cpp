#include "service/Entry.h"

#include "module/ServiceModule.h"
#include "platform/com_apartment.h"
#include "registry/RegistryKey.h"
#include "service/AppId.h"
#include "service/CommandLine.h"
#include "service/Status.h"

namespace kstv {
namespace {

// The process's one record, filled by Initialize first thing in the entry.
ServiceModule processRecord{};

// UnregServer: remove the AppID registration, the service entry and the type library.
int TakeUnregisterRoad(ServiceModule& module) {
  ComApartment apartment;
  if (FAILED(apartment.result())) return apartment.result();
  return module.UnregisterApplication();
}

// No word: run, under the service control manager when the AppID names a local service.
// Both AppID keys stay open for the whole run.
int TakeRunRoad(ServiceModule& module) {
  RegistryKey appIdKey;
  RegistryKey appIdGuidKey;
  HKEY opened = nullptr;
  LONG result = RegOpenKeyExA(HKEY_CLASSES_ROOT, kAppIdKeyName, 0, kKeyRead, &opened);
  if (result != ERROR_SUCCESS) return result;
  appIdKey.attach(opened);
  result = RegOpenKeyExA(appIdKey.handle(), kAppIdGuidKeyName, 0, kKeyRead, &opened);
  if (result != ERROR_SUCCESS) return result;  // appIdKey closes on the way out
  appIdGuidKey.attach(opened);

  // Only whether the value reads as a proper string matters, not what it holds.
  char localService[MAX_PATH];
  DWORD byteCount = sizeof localService;
  module.serviceMode =
      appIdGuidKey.queryString(localService, kLocalServiceValueName, &byteCount) == ERROR_SUCCESS;

  module.Launch();

  // A failure of the service's own is reported as its code (an HRESULT).
  const DWORD win32ExitCode = module.status.dwWin32ExitCode;
  const int exitCode = static_cast<int>(win32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR
                                            ? module.status.dwServiceSpecificExitCode
                                            : win32ExitCode);
  appIdGuidKey.close();
  appIdKey.close();
  return exitCode;
}

}  // namespace

int Entry(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  // The command line is read again whole, so that it includes the program's own path.
  LPCSTR commandLine = GetCommandLineA();
  ServiceModule& module = processRecord;
  module.Initialize(theClassTable, instance);

  switch (FindCommandWord(commandLine)) {
    case CommandWord::UnregServer:
      return TakeUnregisterRoad(module);
    case CommandWord::RegServer:
      return module.RegisterApplication(TRUE, FALSE);
    case CommandWord::Service:
      return module.RegisterApplication(TRUE, TRUE);
    case CommandWord::Status:
      return ShowStatus(module);
    case CommandWord::None:
      break;
  }
  return TakeRunRoad(module);
}

}  // namespace kstv

// Installation and AppID registration: RegServer and Service register the program (the
// second also as a service that COM may start); UnregServer removes its service entry
// and the badges a run that ended without its cleanup left.
#include "module/ServiceModule.h"
#include "monitor/DriveBadges.h"
#include "monitor/MonitorClaim.h"
#include "platform/com_apartment.h"
#include "registrar/ScriptSources.h"
#include "registrar/TypeLibraryRegistration.h"
#include "registry/RegistryKey.h"
#include "service/AppId.h"
#include "service/EventSource.h"
#include "service/ProgramLocation.h"
#include "service/RegistrationSnapshot.h"
#include "service/ServiceMessages.h"

namespace kstv {
namespace {

// Returned by a registration on a system older than Windows 8 / Server 2012.
constexpr HRESULT kUnsupportedOperatingSystem = static_cast<HRESULT>(0x80110449L);

LONG OpenForWriting(HKEY parent, LPCSTR name, RegistryKey& key) {
  HKEY opened = nullptr;
  LONG result = RegOpenKeyExA(parent, name, 0, kKeyWrite, &opened);
  if (result == ERROR_SUCCESS) key.attach(opened);
  return result;
}

void SetString(const RegistryKey& key, LPCSTR name, const char* text, DWORD byteCount) {
  RegSetValueExA(key.handle(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), byteCount);
}

// The registration's own writes: the AppID script, the AppID values, the service entry
// and the type library; on the RegServer road the service entry goes last, as the one
// step that cannot be taken back. The first failure is the result: a Win32 code, or an
// HRESULT. `changes` says what was done to the service entry.
HRESULT WriteRegistration(ServiceModule& module, const RegistrationSnapshot& previous,
                          BOOL registerTypeLibrary, BOOL asService, ServiceEntryChanges& changes) {
  // The old service is asked to stop and waited for: its program may be replaced next.
  if (previous.hadServiceEntry()) {
    const DWORD stop = module.StopService(&changes.stopped);
    if (stop != ERROR_SUCCESS) return static_cast<HRESULT>(stop);
  }
  applyRegistrationScript(kRegistrationScriptResourceId, TRUE, nullptr);
  RegistryKey appIdKey;
  RegistryKey appIdGuidKey;
  LONG status = OpenForWriting(HKEY_CLASSES_ROOT, kAppIdKeyName, appIdKey);
  if (status != ERROR_SUCCESS) return status;
  status = OpenForWriting(appIdKey.handle(), kAppIdGuidKeyName, appIdGuidKey);
  if (status != ERROR_SUCCESS) return status;

  RegDeleteValueA(appIdGuidKey.handle(), kLocalServiceValueName);
  // Events the program reports name their text in the message file beside it. Without the
  // source they still carry that text; so a source that cannot be written is told, and
  // fails nothing.
  if (AddEventSource(module, changes.eventSourceWritten) != ERROR_SUCCESS)
    module.ShowMessage(kCannotAddEventSource);
  if (asService) {
    SetString(appIdGuidKey, kLocalServiceValueName, kLocalServiceValue, sizeof kLocalServiceValue);
    SetString(appIdGuidKey, kServiceParametersValueName, kServiceParametersValue,
              sizeof kServiceParametersValue);
    const DWORD installation = previous.hadServiceEntry() ? module.UpdateService(changes)
                                                          : module.InstallService(&changes.created);
    if (installation != ERROR_SUCCESS) return static_cast<HRESULT>(installation);
  }
  const HRESULT library = registerServerEntries(module, registerTypeLibrary);
  if (FAILED(library)) return library;
  if (!asService && previous.hadServiceEntry()) {
    const DWORD removal = module.RemoveService();
    if (removal != ERROR_SUCCESS) return static_cast<HRESULT>(removal);
  }
  return S_OK;
}

// The badges a run that ended without its cleanup (killed, crashed) left, which would
// otherwise stay until the next start and then name icons the uninstallation deleted:
// the start's own sweep, under the same claim a run takes, so that a run still
// monitoring (it holds the claim) keeps the badges of its cards.
void RemoveBadgesLeftBehind(ServiceModule& module) {
  UniqueHandle claim;
  const DWORD refused = ClaimCardMonitor(claim);
  if (refused != ERROR_SUCCESS && refused != kMonitorClaimNameTaken) return;
  FindModuleFolder(module.moduleFolder);
  BuildBadgeIconPaths(module.moduleFolder);
  RemoveLeftoverDriveBadges();
}

}  // namespace

HRESULT ServiceModule::RegisterApplication(BOOL registerTypeLibrary, BOOL asService) {
  ComApartment apartment;
  if (FAILED(apartment.result())) return apartment.result();
  ResetDebugLog();
  OpenDebugLog();
  if (!IsSupportedOperatingSystem()) return kUnsupportedOperatingSystem;
  // A path the ANSI calls cannot name would register another program, or none.
  const DWORD path = CheckProgramPathInCodePage(*this);
  if (path != ERROR_SUCCESS) return static_cast<HRESULT>(path);
  // A service runs the program as the system: where others may change it, nothing is
  // registered or removed.
  if (asService) {
    const DWORD location = CheckServiceProgramLocation(*this);
    if (location != ERROR_SUCCESS) return static_cast<HRESULT>(location);
  }

  // What was there before, read before anything is written: a road that fails puts it
  // back, so that a failed repair or upgrade leaves the registration that worked, and a
  // failed first registration leaves none.
  RegistrationSnapshot previous;
  HRESULT result = previous.take(*this);
  if (result != S_OK) return result;
  ServiceEntryChanges changes;
  result = WriteRegistration(*this, previous, registerTypeLibrary, asService, changes);
  if (result != S_OK) previous.restore(*this, changes);
  return result;
}

HRESULT ServiceModule::UnregisterApplication() {
  const HRESULT script = applyRegistrationScript(kRegistrationScriptResourceId, FALSE, nullptr);
  const DWORD removal = RemoveService();
  // After the service's stop, which takes its own badges; a service that did not stop
  // keeps its cards' badges.
  if (removal == ERROR_SUCCESS) RemoveBadgesLeftBehind(*this);
  const DWORD source = RemoveEventSource(*this);
  if (source != ERROR_SUCCESS) ShowMessage(kCannotRemoveEventSource);
  const HRESULT library = removeOwnTypeLibraryRegistration(*this);
  if (FAILED(script)) return script;
  if (removal != ERROR_SUCCESS) return static_cast<HRESULT>(removal);
  if (FAILED(library)) return library;
  if (source != ERROR_SUCCESS) return static_cast<HRESULT>(source);
  return library;
}

}  // namespace kstv

// The run loop: claims the machine's card monitor, prepares the process, starts the card
// monitor, pumps the thread's message queue until WM_QUIT, and tears down in a fixed order.
#include <cstring>

#include "module/ProgramFile.h"
#include "module/ServiceModule.h"
#include "monitor/DiskEventSubscription.h"
#include "monitor/DriveBadges.h"
#include "monitor/MonitorClaim.h"
#include "platform/com_apartment.h"
#include "service/ProgramLocation.h"
#include "service/ServiceControl.h"
#include "service/TokenSecurityDescriptor.h"

namespace kstv {
namespace {

constexpr DWORD kMinimumMajorVersion = 6;
constexpr DWORD kMinimumMinorVersion = 2;  // Windows 8 and Windows Server 2012

constexpr char kNotApplicable[] = "Service is not applicable for this OS.";
constexpr char kAlreadyMonitored[] =
    "KstvCardReader is already monitoring the card reader on this machine; this run ends.";
constexpr char kMonitorNotClaimed[] =
    "Couldn't make sure that no other run monitors the card reader (error %u); this run ends. "
    "Only the service or an administrator can run it.";
constexpr char kMonitorNameTaken[] =
    "Another program holds the name by which a run of KstvCardReader makes sure that it "
    "alone monitors the card reader; this run goes on without that check.";
constexpr char kSubscriptionFailed[] = "Couldn't subscribe to disk events (0x%08X)";

// How often the message loop wakes to look for a stop request whose WM_QUIT could not be
// posted. The timer's messages are made by the queue itself, so they come even when it is
// too full to take a posted message.
constexpr UINT kStopCheckMilliseconds = 1000;

// Pumps the thread's queue until WM_QUIT, a failed GetMessageA or a stop request.
void PumpMessages(ServiceModule& module) {
  UINT_PTR stopCheck = SetTimer(nullptr, 0, kStopCheckMilliseconds, nullptr);
  MSG message;
  while (!StopPending()) {
    BOOL result = GetMessageA(&message, nullptr, 0, 0);
    if (result == 0) break;
    if (result == -1) {
      module.DebugPrint("Run() GetMessage() failed\n");
      break;
    }
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  if (stopCheck) KillTimer(nullptr, stopCheck);
}

// Reports RUNNING, removes the badges an earlier run left, badges the cards already
// present, subscribes and pumps messages. A stop that is already pending skips whatever
// has not begun. A failed subscription ends the run with an error event and the failing
// HRESULT as the service-specific exit code.
void Monitor(ServiceModule& module) {
  if (module.serviceMode && !ReportServiceState(module, SERVICE_RUNNING)) return;
  if (StopPending()) return;
  BuildBadgeIconPaths(module.moduleFolder);
  OpenDriveBadgeRecord();
  RemoveLeftoverDriveBadges();
  ScanDrivesAtStartup(StopPending);
  if (StopPending()) return;
  if (SubscribeDiskEvents() != 0) {
    HRESULT failure = DiskEventSubscriptionFailure();
    module.ReportToEventLog(EVENTLOG_ERROR_TYPE, kSubscriptionFailed,
                            static_cast<unsigned>(failure));
    SetServiceExitCode(module, ERROR_SERVICE_SPECIFIC_ERROR, static_cast<DWORD>(failure));
    return;
  }
  PumpMessages(module);
}

void RegisterClassObjects(ClassEntry* table) {
  for (ClassEntry* entry = table; entry && entry->classId; ++entry) {
    IUnknown* classObject = nullptr;
    if (FAILED(entry->getClassObject(*entry->classId, IID_IUnknown,
                                     reinterpret_cast<void**>(&classObject))))
      return;
    HRESULT result = CoRegisterClassObject(*entry->classId, classObject, CLSCTX_LOCAL_SERVER,
                                           REGCLS_MULTIPLEUSE, &entry->registrationCookie);
    classObject->Release();
    if (FAILED(result)) return;
  }
}

void RevokeClassObjects(ClassEntry* table) {
  for (ClassEntry* entry = table; entry && entry->classId; ++entry)
    if (FAILED(CoRevokeClassObject(entry->registrationCookie))) return;
}

}  // namespace

bool ServiceModule::IsSupportedOperatingSystem() {
  OSVERSIONINFOEXA version;
  std::memset(&version, 0, sizeof version);
  version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXA);
  if (!GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&version))) {
    version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    if (!GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&version))) {
      DebugPrint("GetVersionEx failed(%d)\n", static_cast<int>(GetLastError()));
      return false;
    }
  }
  return version.dwMajorVersion > kMinimumMajorVersion ||
         (version.dwMajorVersion == kMinimumMajorVersion &&
          version.dwMinorVersion >= kMinimumMinorVersion);
}

void ServiceModule::Run() {
  FindModuleFolder(moduleFolder);
  ResetDebugLog();
  // One run per machine, held until the run has taken its last badge away. A second run
  // ends here, before it touches the log or a badge.
  UniqueHandle monitorClaim;
  const DWORD refused = ClaimCardMonitor(monitorClaim);
  if (refused == kMonitorClaimNameTaken) {
    ReportToEventLogAlways(EVENTLOG_WARNING_TYPE, kMonitorNameTaken);
  } else if (refused != ERROR_SUCCESS) {
    if (refused == ERROR_SERVICE_ALREADY_RUNNING)
      ReportToEventLogAlways(EVENTLOG_WARNING_TYPE, kAlreadyMonitored);
    else
      ReportToEventLogAlways(EVENTLOG_ERROR_TYPE, kMonitorNotClaimed,
                             static_cast<unsigned>(refused));
    SetServiceExitCode(*this, refused, 0);
    return;
  }
  OpenDebugLog(LogStart::Empty);
  if (!IsSupportedOperatingSystem()) {
    ReportToEventLog(EVENTLOG_ERROR_TYPE, kNotApplicable);
    SetServiceExitCode(*this, ERROR_OLD_WIN_VERSION, 0);
    return;
  }

  // The queue exists before the id is published, so that a stop request that finds the
  // id can always be posted; one that came earlier is taken when the id is published.
  MSG message;
  PeekMessageA(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
  PublishRunThread(*this);

  // Destroyed last, after the apartment is left, whichever way Run is left.
  TokenSecurityDescriptor security;
  ComApartment apartment(COINIT_MULTITHREADED);
  HRESULT identity = security.InitFromToken(FALSE, TRUE);
  CoInitializeSecurity(SUCCEEDED(identity) ? security.descriptor() : nullptr, -1, nullptr, nullptr,
                       RPC_C_AUTHN_LEVEL_PKT, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE,
                       nullptr);
  RegisterClassObjects(classTable);
  Monitor(*this);
  WithdrawRunThread(*this);
  // Winding down: after each step that may take a while (a probe the scan had under way,
  // cancelling the queries) the manager hears that a pending stop has come further.
  ReportStopProgress(*this);

  RevokeClassObjects(classTable);
  ReportUnknownRequestsLeftOut(*this);
  CloseDebugLog();
  UnsubscribeDiskEvents();
  ReportStopProgress(*this);
  // Whatever road the run took: no badge of this run outlives it, and a delivery still
  // under way after the cancellation can publish none.
  CloseDriveBadgeRecord();
}

}  // namespace kstv

// Service control: hands the first thread to the service control dispatcher, or runs
// in-process when the program is not started as a service; the service entry and the
// control handler.
#include "service/ServiceControl.h"

#include <atomic>

#include "module/ServiceModule.h"
#include "platform/locks.h"

namespace kstv {
namespace {

// Handler and Run report status from two threads: one report at a time, in order.
SRWLOCK statusLock = SRWLOCK_INIT;
// Set once STOPPED has been reported: the service manager hears nothing after it.
bool stoppedReported = false;
// A stop or shutdown request of this run; it stays set until the run has ended.
std::atomic<bool> stopRequested{false};

// How long the wind-down may take before its next report. Its longest step is a probe
// that a stop finds under way: one command to a failing card may take the storage class
// driver's request timeout (10 seconds by default) before it fails. Cancelling the disk
// event queries and taking the badges away take well under a second. 15 seconds cover
// that and stay half the 30 seconds that a reinstallation waits for the stop.
constexpr DWORD kStopWaitHintMilliseconds = 15000;
// Any signed-in user may send a service the codes 128 to 255, which it does not know:
// each would otherwise be a warning event and a debug line, and enough of them would fill
// the event log and push out what an administrator needs. The first is reported; after
// it, at most one an hour, which counts those that were not; the run's end counts the
// rest.
constexpr DWORD kUnknownRequestReportInterval = 60 * 60 * 1000;
constexpr char kBadServiceRequest[] = "Bad service request";
constexpr char kBadServiceRequestsLeftOut[] =
    "Bad service request (%lu more since the last report, not reported one by one)";
constexpr char kBadServiceRequestsAtTheEnd[] =
    "%lu more bad service requests since the last report, not reported one by one";
SRWLOCK unknownRequestLock = SRWLOCK_INIT;
bool unknownRequestReported = false;
DWORD lastUnknownRequestReport = 0;
unsigned long unknownRequestsLeftOut = 0;

std::atomic_ref<DWORD> RunThreadIdOf(ServiceModule& module) {
  return std::atomic_ref<DWORD>(module.runThreadId);
}

void WINAPI ServiceMainEntry(DWORD argc, LPSTR* argv) {
  CurrentServiceModule()->ServiceEntry(argc, argv);
}

DWORD WINAPI HandlerEntry(DWORD control, DWORD eventType, LPVOID eventData, LPVOID) {
  return CurrentServiceModule()->Handler(control, eventType, eventData);
}

// Asks the run thread to quit. The request is kept: the run thread looks at it before it
// starts monitoring and whenever its message loop wakes, so that neither a request made
// before the thread could receive it nor a post that failed is lost.
void RequestStop(ServiceModule& module) {
  stopRequested = true;
  DWORD thread = RunThreadIdOf(module).load();
  if (thread && !PostThreadMessageA(thread, WM_QUIT, 0, 0))
    module.DebugPrint("Handler() PostThreadMessage failed(%d)\n", static_cast<int>(GetLastError()));
}

bool MayFollow(DWORD current, DWORD next) {
  if (current == SERVICE_STOP_PENDING)
    return next != SERVICE_START_PENDING && next != SERVICE_RUNNING;
  return true;
}

// The status as it stands, to the service manager; the caller holds statusLock. STOPPED
// goes through ReportFinalStop.
void SendStatus(ServiceModule& module) {
  if (stoppedReported || !module.statusHandle) return;
  SetServiceStatus(module.statusHandle, &module.status);
  if (module.status.dwCurrentState == SERVICE_STOPPED) stoppedReported = true;
}

// The service thread's last act. Once the manager has STOPPED, the dispatcher returns on
// the first thread and the process ends while this thread may still be running: nothing
// of the process is touched after the report, not even the status lock. No other report
// follows it, since stoppedReported is set first.
void ReportFinalStop(ServiceModule& module) {
  SERVICE_STATUS_HANDLE handle;
  SERVICE_STATUS status;
  {
    ExclusiveLock guard(statusLock);
    if (stoppedReported) return;
    stoppedReported = true;
    module.status.dwCurrentState = SERVICE_STOPPED;
    module.status.dwCheckPoint = 0;  // nothing is pending any more
    module.status.dwWaitHint = 0;
    handle = module.statusHandle;
    status = module.status;
  }
  if (handle) SetServiceStatus(handle, &status);
}

// Reports STOP_PENDING, with its first check point and the wait hint, to a stop or
// shutdown request. Once it is pending a repeated request reports the status unchanged.
void ReportStopPending(ServiceModule& module) {
  ExclusiveLock guard(statusLock);
  if (stoppedReported) return;
  if (module.status.dwCurrentState != SERVICE_STOP_PENDING) {
    module.status.dwCurrentState = SERVICE_STOP_PENDING;
    module.status.dwCheckPoint = 1;
    module.status.dwWaitHint = kStopWaitHintMilliseconds;
  }
  SendStatus(module);
}

}  // namespace

bool ReportServiceState(ServiceModule& module, DWORD state) {
  ExclusiveLock guard(statusLock);
  if (stoppedReported || !MayFollow(module.status.dwCurrentState, state)) return false;
  module.status.dwCurrentState = state;
  SendStatus(module);
  return true;
}

void ReportStopProgress(ServiceModule& module) {
  ExclusiveLock guard(statusLock);
  if (stoppedReported || module.status.dwCurrentState != SERVICE_STOP_PENDING) return;
  ++module.status.dwCheckPoint;
  SendStatus(module);
}

void SetServiceExitCode(ServiceModule& module, DWORD win32ExitCode, DWORD specificExitCode) {
  ExclusiveLock guard(statusLock);
  module.status.dwWin32ExitCode = win32ExitCode;
  module.status.dwServiceSpecificExitCode = specificExitCode;
}

bool StopPending() { return stopRequested.load(); }

void PublishRunThread(ServiceModule& module) {
  // A request made before this finds no thread to post to; the run sees it as pending.
  RunThreadIdOf(module).store(GetCurrentThreadId());
}

void WithdrawRunThread(ServiceModule& module) { RunThreadIdOf(module).store(0); }

void ReportUnknownRequest(ServiceModule& module) {
  unsigned long leftOut = 0;
  {
    ExclusiveLock guard(unknownRequestLock);
    const DWORD now = GetTickCount();
    if (unknownRequestReported && now - lastUnknownRequestReport < kUnknownRequestReportInterval) {
      ++unknownRequestsLeftOut;
      return;
    }
    unknownRequestReported = true;
    lastUnknownRequestReport = now;
    leftOut = unknownRequestsLeftOut;
    unknownRequestsLeftOut = 0;
  }
  if (leftOut == 0)
    module.ReportToEventLog(EVENTLOG_WARNING_TYPE, kBadServiceRequest);
  else
    module.ReportToEventLog(EVENTLOG_WARNING_TYPE, kBadServiceRequestsLeftOut, leftOut);
}

void ReportUnknownRequestsLeftOut(ServiceModule& module) {
  unsigned long leftOut = 0;
  {
    ExclusiveLock guard(unknownRequestLock);
    leftOut = unknownRequestsLeftOut;
    unknownRequestsLeftOut = 0;
  }
  if (leftOut != 0)
    module.ReportToEventLog(EVENTLOG_WARNING_TYPE, kBadServiceRequestsAtTheEnd, leftOut);
}

void ServiceModule::Launch() {
  stopRequested = false;
  SERVICE_TABLE_ENTRYA table[] = {{serviceName, ServiceMainEntry}, {nullptr, nullptr}};
  if (serviceMode && !StartServiceCtrlDispatcherA(table)) serviceMode = FALSE;
  if (!serviceMode) Run();
  stopRequested = false;
}

void ServiceModule::ServiceEntry(DWORD, LPSTR*) {
  stopRequested = false;
  WithdrawRunThread(*this);
  {
    ExclusiveLock guard(unknownRequestLock);
    unknownRequestReported = false;
    unknownRequestsLeftOut = 0;
  }
  {
    ExclusiveLock guard(statusLock);
    stoppedReported = false;
    status.dwCurrentState = SERVICE_START_PENDING;
    status.dwWin32ExitCode = 0;
    status.dwServiceSpecificExitCode = 0;
    status.dwCheckPoint = 0;
    status.dwWaitHint = 0;
  }
  SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerExA(serviceName, HandlerEntry, this);
  if (!handle) {
    ReportToEventLog(EVENTLOG_ERROR_TYPE, "Handler not installed");
    return;
  }
  {
    // The handler may already have answered a stop on the dispatcher's thread, which
    // could not be reported without the handle: the first report is the state as it
    // stands, START_PENDING or STOP_PENDING.
    ExclusiveLock guard(statusLock);
    statusHandle = handle;
    SendStatus(*this);
  }
  Run();
  ReportFinalStop(*this);
}

DWORD ServiceModule::Handler(DWORD control, DWORD, LPVOID) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      ReportStopPending(*this);
      DebugPrint("Handler() SERVICE_CONTROL_STOP post WM_QUIT\n");
      RequestStop(*this);
      return NO_ERROR;
    case SERVICE_CONTROL_SHUTDOWN:
      ReportStopPending(*this);
      DebugPrint("Handler() SERVICE_CONTROL_SHUTDOWN post WM_QUIT\n");
      RequestStop(*this);
      return NO_ERROR;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
      return ERROR_CALL_NOT_IMPLEMENTED;
    case SERVICE_CONTROL_INTERROGATE: {
      ExclusiveLock guard(statusLock);
      SendStatus(*this);
      return NO_ERROR;
    }
    default:
      ReportUnknownRequest(*this);
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

}  // namespace kstv

// Service control: hands the first thread to the service control dispatcher, or runs
// in-process when the program is not started as a service; the service entry and the
// control handler.
#include "service/ServiceControl.h"

#include <atomic>
#include <mutex>

#include "service/ServiceModule.h"

namespace kstv {
namespace {

// Handler and Run report status from two threads: one report at a time.
std::mutex statusLock;
// A stop or shutdown request made before the run thread could receive it.
std::atomic<bool> stopRequested{false};

std::atomic_ref<DWORD> RunThreadIdOf(ServiceModule& module) {
  return std::atomic_ref<DWORD>(module.runThreadId);
}

void WINAPI ServiceMainEntry(DWORD argc, LPSTR* argv) {
  CurrentServiceModule()->ServiceEntry(argc, argv);
}

DWORD WINAPI HandlerEntry(DWORD control, DWORD eventType, LPVOID eventData, LPVOID) {
  return CurrentServiceModule()->Handler(control, eventType, eventData);
}

// Asks the run thread to quit: the request is kept if the thread cannot receive it yet.
void RequestStop(ServiceModule& module) {
  stopRequested = true;
  if (DWORD thread = RunThreadIdOf(module).load()) PostThreadMessageA(thread, WM_QUIT, 0, 0);
}

}  // namespace

void ReportServiceState(ServiceModule& module, DWORD state) {
  std::lock_guard guard(statusLock);
  module.status.dwCurrentState = state;
  SetServiceStatus(module.statusHandle, &module.status);
}

void PublishRunThread(ServiceModule& module) {
  DWORD thread = GetCurrentThreadId();
  RunThreadIdOf(module).store(thread);
  if (stopRequested.exchange(false)) PostThreadMessageA(thread, WM_QUIT, 0, 0);
}

void WithdrawRunThread(ServiceModule& module) { RunThreadIdOf(module).store(0); }

void ServiceModule::Launch() {
  SERVICE_TABLE_ENTRYA table[] = {{serviceName, ServiceMainEntry}, {nullptr, nullptr}};
  if (serviceMode && !StartServiceCtrlDispatcherA(table)) serviceMode = FALSE;
  if (!serviceMode) Run();
}

void ServiceModule::ServiceEntry(DWORD, LPSTR*) {
  stopRequested = false;
  WithdrawRunThread(*this);
  status.dwCurrentState = SERVICE_START_PENDING;
  SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerExA(serviceName, HandlerEntry, this);
  {
    // The handler may already be answering an interrogation on the dispatcher's thread.
    std::lock_guard guard(statusLock);
    statusHandle = handle;
  }
  if (!handle) {
    ReportToEventLog(EVENTLOG_ERROR_TYPE, "Handler not installed");
    return;
  }
  ReportServiceState(*this, SERVICE_START_PENDING);
  {
    // A stop may be answered on the dispatcher's thread from here on.
    std::lock_guard guard(statusLock);
    status.dwWin32ExitCode = 0;
    status.dwCheckPoint = 0;
    status.dwWaitHint = 0;
  }
  Run();
  ReportServiceState(*this, SERVICE_STOPPED);
}

DWORD ServiceModule::Handler(DWORD control, DWORD, LPVOID) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      ReportServiceState(*this, SERVICE_STOP_PENDING);
      DebugPrint("Handler() SERVICE_CONTROL_STOP post WM_QUIT\n");
      RequestStop(*this);
      return NO_ERROR;
    case SERVICE_CONTROL_SHUTDOWN:
      ReportServiceState(*this, SERVICE_STOP_PENDING);
      DebugPrint("Handler() SERVICE_CONTROL_SHUTDOWN post WM_QUIT\n");
      RequestStop(*this);
      return NO_ERROR;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
      return ERROR_CALL_NOT_IMPLEMENTED;
    case SERVICE_CONTROL_INTERROGATE: {
      std::lock_guard guard(statusLock);
      SetServiceStatus(statusHandle, &status);
      return NO_ERROR;
    }
    default:
      ReportToEventLog(EVENTLOG_WARNING_TYPE, "Bad service request");
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

}  // namespace kstv

// What the run loop and the control handler share besides ServiceModule: the status
// report, serialised and kept in order, and the hand-over of a stop request to the run
// thread.
#pragma once

#include "platform/win32.h"

namespace kstv {

struct ServiceModule;

// Sets the current state and reports the whole status to the service manager, unless the
// order of states forbids it: nothing follows STOPPED, and neither START_PENDING nor
// RUNNING follows STOP_PENDING. False when the state was not taken.
bool ReportServiceState(ServiceModule& module, DWORD state);

// While a stop is pending, reports it again with the next check point: the wind-down has
// come one step further. Nothing otherwise.
void ReportStopProgress(ServiceModule& module);

// Sets the exit codes the final STOPPED report carries (and the process exit code).
void SetServiceExitCode(ServiceModule& module, DWORD win32ExitCode, DWORD specificExitCode);

// True once a stop or shutdown has been asked for in this run.
bool StopPending();

// Called by the run thread once its message queue exists: from then on a stop request
// posts WM_QUIT to it.
void PublishRunThread(ServiceModule& module);
// Called when the run loop ends: no request is posted to the thread any more.
void WithdrawRunThread(ServiceModule& module);

// A request the control table does not know: a warning event (and debug line), the first
// of a run and then at most one an hour, which counts those left out since the last.
void ReportUnknownRequest(ServiceModule& module);
// At the run's end: one warning that counts the requests left out since the last report,
// if any were.
void ReportUnknownRequestsLeftOut(ServiceModule& module);

}  // namespace kstv

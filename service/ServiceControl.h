// What the run loop and the control handler share besides ServiceModule: the status
// report, serialised, and the hand-over of a stop request to the run thread.
#pragma once

#include "platform/win32.h"

namespace kstv {

class ServiceModule;

// Sets the current state and reports the whole status to the service manager.
void ReportServiceState(ServiceModule& module, DWORD state);

// Called by the run thread once its message queue exists: publishes its id, and takes a
// stop request that arrived before it (posting WM_QUIT to itself).
void PublishRunThread(ServiceModule& module);
// Called when the run loop ends: no request is posted to the thread any more.
void WithdrawRunThread(ServiceModule& module);

}  // namespace kstv

// Host build: the service control manager's types and status values.
#pragma once

#include "platform/host/win32_types.h"

KSTV_DECLARE_HANDLE(SERVICE_STATUS_HANDLE);

struct SERVICE_STATUS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
};
typedef SERVICE_STATUS* LPSERVICE_STATUS;

#define SERVICE_WIN32_OWN_PROCESS 0x10UL

#define SERVICE_STOPPED 1UL
#define SERVICE_START_PENDING 2UL
#define SERVICE_STOP_PENDING 3UL
#define SERVICE_RUNNING 4UL

#define SERVICE_ACCEPT_STOP 0x1UL
#define SERVICE_ACCEPT_SHUTDOWN 0x4UL

#define SERVICE_CONTROL_STOP 1UL
#define SERVICE_CONTROL_PAUSE 2UL
#define SERVICE_CONTROL_CONTINUE 3UL
#define SERVICE_CONTROL_INTERROGATE 4UL
#define SERVICE_CONTROL_SHUTDOWN 5UL

// Host build: the service control manager: its types and status values, and the
// services it keeps.
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

// --- The service control manager ---------------------------------------------------
KSTV_DECLARE_HANDLE(SC_HANDLE);

#define DELETE 0x00010000UL
#define SC_MANAGER_ALL_ACCESS 0xF003FUL
#define SC_MANAGER_CONNECT 0x0001UL
#define SERVICE_QUERY_CONFIG 0x0001UL
#define SERVICE_CHANGE_CONFIG 0x0002UL
#define SERVICE_START 0x0010UL
#define SERVICE_QUERY_STATUS 0x0004UL
#define SERVICE_STOP 0x0020UL
#define SERVICE_ALL_ACCESS 0xF01FFUL

#define SERVICE_KERNEL_DRIVER 0x1UL
#define SERVICE_FILE_SYSTEM_DRIVER 0x2UL
#define SERVICE_WIN32_SHARE_PROCESS 0x20UL
#define SERVICE_INTERACTIVE_PROCESS 0x100UL

#define SERVICE_BOOT_START 0x0UL
#define SERVICE_SYSTEM_START 0x1UL
#define SERVICE_AUTO_START 0x2UL
#define SERVICE_DEMAND_START 0x3UL
#define SERVICE_DISABLED 0x4UL
#define SERVICE_ERROR_IGNORE 0x0UL
#define SERVICE_ERROR_NORMAL 0x1UL
#define SERVICE_ERROR_SEVERE 0x2UL
#define SERVICE_ERROR_CRITICAL 0x3UL
// A type, start type or error control that ChangeServiceConfigA leaves as it is.
#define SERVICE_NO_CHANGE 0xFFFFFFFFUL

#define ERROR_SERVICE_REQUEST_TIMEOUT 1053L
#define ERROR_SERVICE_DISABLED 1058L
#define ERROR_SERVICE_DOES_NOT_EXIST 1060L
#define ERROR_SERVICE_CANNOT_ACCEPT_CTRL 1061L
#define ERROR_SERVICE_NOT_ACTIVE 1062L
#define ERROR_SERVICE_NEVER_STARTED 1077L
#define ERROR_SERVICE_SPECIFIC_ERROR 1066L
#define ERROR_SERVICE_MARKED_FOR_DELETE 1072L
#define ERROR_SERVICE_EXISTS 1073L
#define ERROR_DUPLICATE_SERVICE_NAME 1078L
#define ERROR_INVALID_NAME 123L
#define ERROR_INVALID_SERVICE_CONTROL 1052L
#define ERROR_OLD_WIN_VERSION 1150L
#define ERROR_INVALID_LEVEL 124L

// --- A service's optional configuration ----------------------------------------------
#define SERVICE_CONFIG_DESCRIPTION 1UL
#define SERVICE_CONFIG_FAILURE_ACTIONS 2UL
#define SERVICE_CONFIG_FAILURE_ACTIONS_FLAG 4UL
#define SERVICE_CONFIG_SERVICE_SID_INFO 5UL
#define SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO 6UL

#define SERVICE_SID_TYPE_NONE 0x0UL
#define SERVICE_SID_TYPE_UNRESTRICTED 0x1UL
#define SERVICE_SID_TYPE_RESTRICTED 0x3UL

struct SERVICE_DESCRIPTIONA {
  LPSTR lpDescription;
};
enum SC_ACTION_TYPE {
  SC_ACTION_NONE = 0,
  SC_ACTION_RESTART = 1,
  SC_ACTION_REBOOT = 2,
  SC_ACTION_RUN_COMMAND = 3
};
struct SC_ACTION {
  SC_ACTION_TYPE Type;
  DWORD Delay;
};
struct SERVICE_FAILURE_ACTIONSA {
  DWORD dwResetPeriod;
  LPSTR lpRebootMsg;
  LPSTR lpCommand;
  DWORD cActions;
  SC_ACTION* lpsaActions;
};
struct SERVICE_FAILURE_ACTIONS_FLAG {
  BOOL fFailureActionsOnNonCrashFailures;
};
struct SERVICE_SID_INFO {
  DWORD dwServiceSidType;
};
// A list of privilege names, each ending in a NUL, ended by an empty name.
struct SERVICE_REQUIRED_PRIVILEGES_INFOA {
  LPSTR pmszRequiredPrivileges;
};

SC_HANDLE WINAPI OpenSCManagerA(LPCSTR machineName, LPCSTR databaseName, DWORD access);
SC_HANDLE WINAPI OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD access);
SC_HANDLE WINAPI CreateServiceA(SC_HANDLE manager, LPCSTR serviceName, LPCSTR displayName,
                                DWORD access, DWORD serviceType, DWORD startType,
                                DWORD errorControl, LPCSTR binaryPathName, LPCSTR loadOrderGroup,
                                LPDWORD tagId, LPCSTR dependencies, LPCSTR serviceStartName,
                                LPCSTR password);
BOOL WINAPI QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status);

// The entry's configuration, as QueryServiceConfigA gives it: the structure, then the
// texts its pointers name (none is null; an entry without dependencies has an empty list).
struct QUERY_SERVICE_CONFIGA {
  DWORD dwServiceType;
  DWORD dwStartType;
  DWORD dwErrorControl;
  LPSTR lpBinaryPathName;
  LPSTR lpLoadOrderGroup;
  DWORD dwTagId;
  LPSTR lpDependencies;
  LPSTR lpServiceStartName;
  LPSTR lpDisplayName;
};
typedef QUERY_SERVICE_CONFIGA* LPQUERY_SERVICE_CONFIGA;
BOOL WINAPI QueryServiceConfigA(SC_HANDLE service, LPQUERY_SERVICE_CONFIGA config, DWORD bufferSize,
                                LPDWORD bytesNeeded);
// As documented: SERVICE_NO_CHANGE and null pointers leave a field as it is; an empty
// dependency list takes the dependencies away, an empty group the group; a display name
// that is another entry's name or display name is refused with 1078; an entry marked for
// deletion takes no change (1072). A running service goes on as it was started: the
// change is what its next start uses (its display name shows at once).
BOOL WINAPI ChangeServiceConfigA(SC_HANDLE service, DWORD serviceType, DWORD startType,
                                 DWORD errorControl, LPCSTR binaryPathName, LPCSTR loadOrderGroup,
                                 LPDWORD tagId, LPCSTR dependencies, LPCSTR serviceStartName,
                                 LPCSTR password, LPCSTR displayName);
// Starts the entry's program as a service, in a process of its own with the machine's
// environment (no desktop; not the caller's injected failures), its output in service.log
// in the machine directory; returns once the process has reported a first status. The
// only program file the emulated machine has is the calling program's own: another image
// path gives ERROR_FILE_NOT_FOUND, as does an in-memory machine, which no other process
// can share. Tests may start a service of their own instead (control.h).
BOOL WINAPI StartServiceA(SC_HANDLE service, DWORD argumentCount, LPCSTR* arguments);
BOOL WINAPI ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status);
BOOL WINAPI DeleteService(SC_HANDLE service);
BOOL WINAPI CloseServiceHandle(SC_HANDLE handle);
// The description, the failure actions and whether a stop with an exit code counts as a
// failure, the type of the service's own SID and the privileges its process keeps, kept in
// the entry's key as Windows keeps them (Description, FailureActions, RebootMessage,
// FailureCommand, FailureActionsOnNonCrashFailures, ServiceSidType, RequiredPrivileges). A
// null `info` changes nothing; an empty text or list takes its value away; a SID type
// other than none, unrestricted or restricted is an invalid parameter; an entry marked for
// deletion takes no change. A query with a buffer too small for the answer, texts
// included, writes nothing and gives the size needed with ERROR_INSUFFICIENT_BUFFER; an
// entry without a list answers a null one, one without a SID type none.
BOOL WINAPI ChangeServiceConfig2A(SC_HANDLE service, DWORD infoLevel, LPVOID info);
BOOL WINAPI QueryServiceConfig2A(SC_HANDLE service, DWORD infoLevel, LPBYTE buffer,
                                 DWORD bufferSize, LPDWORD bytesNeeded);

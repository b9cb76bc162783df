// Host build: the service dispatcher's side of the service control manager: the
// dispatcher, the control handler and status reports.
#pragma once

#include "platform/host/win32_service_manager.h"
#include "platform/host/win32_types.h"

#define ERROR_FAILED_SERVICE_CONTROLLER_CONNECT 1063L
#define ERROR_SERVICE_ALREADY_RUNNING 1056L
typedef void(WINAPI* LPSERVICE_MAIN_FUNCTIONA)(DWORD argc, LPSTR* argv);
typedef DWORD(WINAPI* LPHANDLER_FUNCTION_EX)(DWORD control, DWORD eventType, LPVOID eventData,
                                             LPVOID context);
struct SERVICE_TABLE_ENTRYA {
  LPSTR lpServiceName;
  LPSERVICE_MAIN_FUNCTIONA lpServiceProc;
};
BOOL WINAPI StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table);
SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerExA(LPCSTR serviceName,
                                                           LPHANDLER_FUNCTION_EX handler,
                                                           LPVOID context);
BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status);

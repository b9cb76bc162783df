// Host build: the debugger channel, the NT event log, files, the version query, thread
// message queues, security tokens and descriptors, and the service dispatcher's side.
#pragma once

#include "platform/host/win32_com.h"
#include "platform/host/win32_service.h"
#include "platform/host/win32_storage.h"
#include "platform/host/win32_types.h"

// --- Debugger channel and event log ---------------------------------------------------------
void WINAPI OutputDebugStringA(LPCSTR text);

#define EVENTLOG_SUCCESS 0x0000
#define EVENTLOG_ERROR_TYPE 0x0001
#define EVENTLOG_WARNING_TYPE 0x0002
#define EVENTLOG_INFORMATION_TYPE 0x0004
typedef void* PSID;
HANDLE WINAPI RegisterEventSourceA(LPCSTR server, LPCSTR source);
BOOL WINAPI ReportEventA(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID userSid,
                         WORD stringCount, DWORD dataSize, LPCSTR* strings, LPVOID data);
BOOL WINAPI DeregisterEventSource(HANDLE eventLog);

// --- Files ------------------------------------------------------------------------------------
BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
                      LPOVERLAPPED overlapped);

// --- Version --------------------------------------------------------------------------------
struct OSVERSIONINFOA {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  CHAR szCSDVersion[128];
};
struct OSVERSIONINFOEXA : OSVERSIONINFOA {
  WORD wServicePackMajor;
  WORD wServicePackMinor;
  WORD wSuiteMask;
  BYTE wProductType;
  BYTE wReserved;
};
typedef OSVERSIONINFOA* LPOSVERSIONINFOA;
BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info);

// --- Threads and their message queues -----------------------------------------------------------
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;
KSTV_DECLARE_HANDLE(HWND);
struct POINT {
  LONG x;
  LONG y;
};
struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
};
typedef MSG* LPMSG;
#define WM_NULL 0x0000
#define WM_QUIT 0x0012
#define WM_USER 0x0400
#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001
#define WM_TIMER 0x0113
#define ERROR_INVALID_THREAD_ID 1444L
typedef void(WINAPI* TIMERPROC)(HWND, UINT, UINT_PTR, DWORD);

DWORD WINAPI GetCurrentThreadId();
HANDLE WINAPI GetCurrentThread();
HANDLE WINAPI GetCurrentProcess();
BOOL WINAPI GetMessageA(LPMSG message, HWND window, UINT filterMin, UINT filterMax);
BOOL WINAPI PeekMessageA(LPMSG message, HWND window, UINT filterMin, UINT filterMax, UINT remove);
BOOL WINAPI TranslateMessage(const MSG* message);
LRESULT WINAPI DispatchMessageA(const MSG* message);
BOOL WINAPI PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam);
// Thread timers only (no window): WM_TIMER comes when the queue holds nothing else.
UINT_PTR WINAPI SetTimer(HWND window, UINT_PTR id, UINT milliseconds, TIMERPROC procedure);
BOOL WINAPI KillTimer(HWND window, UINT_PTR id);

// --- Time -----------------------------------------------------------------------------------
void WINAPI Sleep(DWORD milliseconds);
DWORD WINAPI GetTickCount();

// --- Security -----------------------------------------------------------------------------
#define TOKEN_QUERY 0x0008UL
#define ERROR_NO_TOKEN 1008L
#define SECURITY_DESCRIPTOR_REVISION 1
#define SECURITY_DESCRIPTOR_MIN_LENGTH 40
#define SE_OWNER_DEFAULTED 0x0001
#define SE_GROUP_DEFAULTED 0x0002
#define RPC_E_TOO_LATE static_cast<HRESULT>(0x80010119L)

enum TOKEN_INFORMATION_CLASS {
  TokenUser = 1,
  TokenGroups = 2,
  TokenPrivileges = 3,
  TokenOwner = 4,
  TokenPrimaryGroup = 5
};
struct SID_IDENTIFIER_AUTHORITY {
  BYTE Value[6];
};
struct SID {
  BYTE Revision;
  BYTE SubAuthorityCount;
  SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
  DWORD SubAuthority[1];
};
struct SID_AND_ATTRIBUTES {
  PSID Sid;
  DWORD Attributes;
};
struct TOKEN_USER {
  SID_AND_ATTRIBUTES User;
};
struct TOKEN_PRIMARY_GROUP {
  PSID PrimaryGroup;
};
struct ACL {
  BYTE AclRevision;
  BYTE Sbz1;
  WORD AclSize;
  WORD AceCount;
  WORD Sbz2;
};
typedef ACL* PACL;
typedef WORD SECURITY_DESCRIPTOR_CONTROL;
struct SECURITY_DESCRIPTOR {
  BYTE Revision;
  BYTE Sbz1;
  SECURITY_DESCRIPTOR_CONTROL Control;
  PSID Owner;
  PSID Group;
  PACL Sacl;
  PACL Dacl;
};
typedef void* PSECURITY_DESCRIPTOR;
struct SOLE_AUTHENTICATION_SERVICE;

BOOL WINAPI OpenThreadToken(HANDLE thread, DWORD access, BOOL openAsSelf, HANDLE* token);
BOOL WINAPI OpenProcessToken(HANDLE process, DWORD access, HANDLE* token);
BOOL WINAPI GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS informationClass,
                                LPVOID information, DWORD length, LPDWORD returnLength);
DWORD WINAPI GetLengthSid(PSID sid);
BOOL WINAPI IsValidSid(PSID sid);
BOOL WINAPI CopySid(DWORD length, PSID destination, PSID source);
BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision);
BOOL WINAPI SetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR descriptor, PSID owner, BOOL defaulted);
BOOL WINAPI SetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR descriptor, PSID group, BOOL defaulted);
HRESULT WINAPI CoInitializeSecurity(PSECURITY_DESCRIPTOR descriptor, LONG authenticationServices,
                                    SOLE_AUTHENTICATION_SERVICE* services, void* reserved1,
                                    DWORD authenticationLevel, DWORD impersonationLevel,
                                    void* authenticationList, DWORD capabilities, void* reserved3);
#define CLSCTX_LOCAL_SERVER_ONLY CLSCTX_LOCAL_SERVER
#define REGCLS_MULTIPLEUSE 1
HRESULT WINAPI CoRegisterClassObject(REFCLSID classId, IUnknown* object, DWORD context, DWORD flags,
                                     LPDWORD cookie);
HRESULT WINAPI CoRevokeClassObject(DWORD cookie);

// --- The service dispatcher's side
// ------------------------------------------------------------------
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

// --- Message boxes
// ------------------------------------------------------------------
#define MB_OK 0x0UL
#define IDOK 1
// No window on the host: the caption and text go to standard error and to the record
// that the control API reads, and the box is "closed" with OK at once.
int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

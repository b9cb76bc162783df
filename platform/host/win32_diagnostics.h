// Host build: the debugger channel and the NT event log.
#pragma once

#include "platform/host/win32_types.h"

void WINAPI OutputDebugStringA(LPCSTR text);

#define EVENTLOG_SUCCESS 0x0000
#define EVENTLOG_ERROR_TYPE 0x0001
#define EVENTLOG_WARNING_TYPE 0x0002
#define EVENTLOG_INFORMATION_TYPE 0x0004
HANDLE WINAPI RegisterEventSourceA(LPCSTR server, LPCSTR source);
BOOL WINAPI ReportEventA(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID userSid,
                         WORD stringCount, DWORD dataSize, LPCSTR* strings, LPVOID data);
BOOL WINAPI DeregisterEventSource(HANDLE eventLog);

// Host build: threads and their message queues, with thread timers.
#pragma once

#include "platform/host/win32_types.h"

typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;
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

// Slim reader/writer locks, taken exclusively: one pointer-sized word, set up statically
// with SRWLOCK_INIT and never destroyed, so that a lock stays usable while the process
// ends.
struct SRWLOCK {
  void* Ptr;
};
typedef SRWLOCK* PSRWLOCK;
#define SRWLOCK_INIT \
  { nullptr }
void WINAPI AcquireSRWLockExclusive(PSRWLOCK lock);
void WINAPI ReleaseSRWLockExclusive(PSRWLOCK lock);

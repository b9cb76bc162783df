// ServiceModule: the one process-wide record of the service host, shared by the service
// host, the diagnostics and the registrar.
#pragma once

#include "platform/win32.h"

namespace kstv {

// One COM class the executable serves. A null classId ends the table; this program
// serves no class of its own, so its table holds only that end.
struct ClassEntry {
  const CLSID* classId;
  HRESULT(WINAPI* getClassObject)(REFCLSID, REFIID, LPVOID*);
  DWORD registrationCookie;
};

// Lets the compiler check printf-style arguments (member functions count `this` as 1).
#if defined(__MINGW32__)
#define KSTV_PRINTF_FORMAT(formatIndex, first) \
  __attribute__((format(gnu_printf, formatIndex, first)))
#else
#define KSTV_PRINTF_FORMAT(formatIndex, first) __attribute__((format(printf, formatIndex, first)))
#endif

inline constexpr UINT kServiceNameStringId = 100;
inline constexpr int kServiceNameCapacity = 256;

// What a registration road did to the service entry and the event source, so that its
// undo puts back only that.
struct ServiceEntryChanges {
  bool stopped = false;             // it stopped the service, which had been running
  bool reconfigured = false;        // it changed the configuration of the entry it found
  bool created = false;             // it made the entry (not one that it found and spared)
  bool eventSourceWritten = false;  // it wrote the event source's key
};

struct ServiceModule {
  HINSTANCE instance;
  HINSTANCE resourceInstance;
  HINSTANCE typeLibraryInstance;
  ClassEntry* classTable;
  char serviceName[kServiceNameCapacity];
  SERVICE_STATUS_HANDLE statusHandle;
  SERVICE_STATUS status;
  DWORD runThreadId;
  BOOL serviceMode;
  HANDLE logFile;
  DWORD debugLevel;
  char moduleFolder[MAX_PATH];

  // Fills the record at start and makes it the process-wide one.
  void Initialize(ClassEntry* table, HINSTANCE moduleInstance);

  // Installation and AppID registration. A registration ends with the new registration
  // or, when it fails, with the one that was there before (none on a first one).
  HRESULT RegisterApplication(BOOL registerTypeLibrary, BOOL asService);
  // UnregServer: the AppID script in unregistration mode, the service entry and the type
  // library, every step taken; the first failure of the three is the result.
  HRESULT UnregisterApplication();
  // The service entry. Each gives a Win32 code and tells the user of a refusal
  // (ShowMessage). InstallService: ERROR_SUCCESS when the entry exists afterwards, made
  // (`created`) or found and spared. UpdateService: the existing entry brought to this
  // registration's configuration in place. StopService: ERROR_SUCCESS once no service
  // runs; `stopped` when it asked a running one to stop, also when the stop then outlasts
  // the wait (1053). RestartService: the service that StopService stopped runs again, once
  // its stop has ended (waited for within the same bound); false when it does not.
  // RemoveService: ERROR_SUCCESS once the entry is gone or marked for deletion.
  bool ServiceExists();
  DWORD InstallService(bool* created = nullptr);
  DWORD UpdateService(ServiceEntryChanges& changes);
  DWORD StopService(bool* stopped);
  bool RestartService();
  DWORD RemoveService();

  // Service control: under the dispatcher when serviceMode, else Run on this thread.
  void Launch();
  void ServiceEntry(DWORD argc, LPSTR* argv);
  DWORD Handler(DWORD control, DWORD eventType, LPVOID eventData);

  // The run loop.
  void Run();
  bool IsSupportedOperatingSystem();

  // Debug log and event log. ResetDebugLog sets the level to 0 and forgets the file, as
  // a run or a registration does before OpenDebugLog. The file is appended to by every
  // road, so that a registration never tears the log of a service that is running; only
  // a run starts a new one, keeping the previous run's as KstvCardReader.log.1.
  enum class LogStart { Append, Empty };
  void ResetDebugLog();
  void OpenDebugLog(LogStart start = LogStart::Append);
  void CloseDebugLog();
  void DebugPrint(const char* format, ...) KSTV_PRINTF_FORMAT(2, 3);
  void ReportToEventLog(WORD type, const char* format, ...) KSTV_PRINTF_FORMAT(3, 4);
  // The event itself, whatever the mode: to the event log and the debug log.
  void WriteEvent(WORD type, const char* message);
  // Tells the user of a failure: a message box (the service name its caption, OK its one
  // button) when a user sees this process's window station; otherwise, as in session 0
  // where nobody could close the box, an error event and a debug line with the same
  // text. Either way the caller goes on as after a closed box.
  void ShowMessage(const char* text);
  // The same, but to the event log also in-process: for what an administrator must see of
  // a plain process, which has no console when started by hand or by COM.
  void ReportToEventLogAlways(WORD type, const char* format, ...) KSTV_PRINTF_FORMAT(3, 4);
};

// The process-wide record, set by Initialize: the one way to reach it for code that is
// not handed it. The entry owns the record itself.
ServiceModule* CurrentServiceModule();

// The class table of this program: empty.
extern ClassEntry theClassTable[];

}  // namespace kstv

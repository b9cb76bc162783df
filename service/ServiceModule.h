// ServiceModule: the one process-wide record of the service host.
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

inline constexpr UINT kServiceNameStringId = 100;
inline constexpr int kServiceNameCapacity = 256;

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

  // Roads of the command line (installation) and of a run (service control).
  HRESULT RegisterApplication(BOOL registerTypeLibrary, BOOL asService);
  bool RemoveService();
  void Launch();
};

// The process-wide record, set by Initialize.
ServiceModule* CurrentServiceModule();

// The record of this process and its (empty) class table.
extern ServiceModule theServiceModule;
extern ClassEntry theClassTable[];

}  // namespace kstv

// The run loop: prepares the process, starts the card monitor, pumps the thread's
// message queue until WM_QUIT, and tears down in a fixed order.
#include <cstring>

#include "monitor/DiskEventSubscription.h"
#include "monitor/DriveBadges.h"
#include "service/ServiceControl.h"
#include "service/ServiceModule.h"
#include "service/TokenSecurityDescriptor.h"

namespace kstv {
namespace {

constexpr DWORD kMinimumMajorVersion = 6;
constexpr DWORD kMinimumMinorVersion = 2;  // Windows 8 and Windows Server 2012

// The executable's folder, cut just behind its last backslash.
void FindModuleFolder(char (&folder)[MAX_PATH]) {
  DWORD length = GetModuleFileNameA(nullptr, folder, MAX_PATH);
  folder[length < MAX_PATH ? length : MAX_PATH - 1] = '\0';  // a cut path may lack its NUL
  char* lastBackslash = std::strrchr(folder, '\\');
  if (lastBackslash) lastBackslash[1] = '\0';
}

void RegisterClassObjects(ClassEntry* table) {
  for (ClassEntry* entry = table; entry && entry->classId; ++entry) {
    IUnknown* classObject = nullptr;
    if (FAILED(entry->getClassObject(*entry->classId, IID_IUnknown,
                                     reinterpret_cast<void**>(&classObject))))
      return;
    HRESULT result = CoRegisterClassObject(*entry->classId, classObject, CLSCTX_LOCAL_SERVER,
                                           REGCLS_MULTIPLEUSE, &entry->registrationCookie);
    classObject->Release();
    if (FAILED(result)) return;
  }
}

void RevokeClassObjects(ClassEntry* table) {
  for (ClassEntry* entry = table; entry && entry->classId; ++entry)
    if (FAILED(CoRevokeClassObject(entry->registrationCookie))) return;
}

}  // namespace

bool ServiceModule::IsSupportedOperatingSystem() {
  OSVERSIONINFOEXA version;
  std::memset(&version, 0, sizeof version);
  version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXA);
  if (!GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&version))) {
    version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    if (!GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&version))) {
      DebugPrint("GetVersionEx failed(%d)\n", static_cast<int>(GetLastError()));
      return false;
    }
  }
  return version.dwMajorVersion > kMinimumMajorVersion ||
         (version.dwMajorVersion == kMinimumMajorVersion &&
          version.dwMinorVersion >= kMinimumMinorVersion);
}

void ServiceModule::Run() {
  FindModuleFolder(moduleFolder);
  ResetDebugLog();
  OpenDebugLog();
  if (!IsSupportedOperatingSystem()) {
    ReportToEventLog(EVENTLOG_ERROR_TYPE, "Service is not applicable for this OS.");
    return;
  }

  // The queue exists before the id is published, so that a stop request that finds the
  // id can always be posted; one that came earlier is taken when the id is published.
  MSG message;
  PeekMessageA(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
  PublishRunThread(*this);

  // Destroyed last, after CoUninitialize, whichever way Run is left.
  TokenSecurityDescriptor security;
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  HRESULT identity = security.InitFromToken(FALSE, TRUE);
  CoInitializeSecurity(SUCCEEDED(identity) ? security.descriptor() : nullptr, -1, nullptr, nullptr,
                       RPC_C_AUTHN_LEVEL_PKT, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE,
                       nullptr);
  RegisterClassObjects(classTable);
  if (serviceMode) ReportServiceState(*this, SERVICE_RUNNING);

  BuildBadgeIconPaths(moduleFolder);
  ScanDrivesAtStartup();
  if (SubscribeDiskEvents() == 0) {
    for (;;) {
      BOOL result = GetMessageA(&message, nullptr, 0, 0);
      if (result == 0) break;
      if (result == -1) {
        DebugPrint("Run() GetMessage() failed\n");
        break;
      }
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
  }
  WithdrawRunThread(*this);

  RevokeClassObjects(classTable);
  CloseDebugLog();
  UnsubscribeDiskEvents();
  CoUninitialize();
}

}  // namespace kstv

#include "module/ServiceModule.h"

namespace kstv {
namespace {

ServiceModule* processModule = nullptr;

}  // namespace

ClassEntry theClassTable[] = {{nullptr, nullptr, 0}};

ServiceModule* CurrentServiceModule() { return processModule; }

void ServiceModule::Initialize(ClassEntry* table, HINSTANCE moduleInstance) {
  processModule = this;
  classTable = table;
  instance = moduleInstance;
  resourceInstance = moduleInstance;
  typeLibraryInstance = moduleInstance;
  serviceMode = TRUE;
  // A name longer than the buffer is cut by the platform; a failed load leaves it empty.
  LoadStringA(moduleInstance, kServiceNameStringId, serviceName, kServiceNameCapacity);
  statusHandle = nullptr;
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = SERVICE_STOPPED;
  status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
  status.dwWin32ExitCode = 0;
  status.dwServiceSpecificExitCode = 0;
  status.dwCheckPoint = 0;
  status.dwWaitHint = 0;
}

}  // namespace kstv

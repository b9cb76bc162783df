// Installation and AppID registration: RegServer and Service register the program,
// UnregServer removes its service entry.
#include "service/ServiceModule.h"
#include "service/Unavailable.h"

namespace kstv {

HRESULT ServiceModule::RegisterApplication(BOOL, BOOL) {
  ReportUnavailable("RegisterApplication");
  return E_NOTIMPL;
}

bool ServiceModule::RemoveService() {
  ReportUnavailable("RemoveService");
  return false;
}

}  // namespace kstv

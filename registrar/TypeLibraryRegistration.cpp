#include "registrar/TypeLibraryRegistration.h"

#include "service/Unavailable.h"

namespace kstv {

HRESULT unregisterServerEntries(const ServiceModule&, BOOL) {
  ReportUnavailable("unregisterServerEntries");
  return E_NOTIMPL;
}

}  // namespace kstv

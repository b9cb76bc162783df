#include "registrar/ScriptSources.h"

#include "service/Unavailable.h"

namespace kstv {

HRESULT applyRegistrationScript(UINT, BOOL, const ReplacementEntry*) {
  ReportUnavailable("applyRegistrationScript");
  return E_NOTIMPL;
}

}  // namespace kstv

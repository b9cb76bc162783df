#include "monitor/MonitorClaim.h"

namespace kstv {
namespace {

constexpr char kMonitorObjectName[] = "Global\\KstvCardReader.CardMonitor";
// Only the system and the administrators may open the claim, so that an administrator's
// second run learns that the service holds it (the system's default list would give
// administrators no more than reading it), and a user's run cannot hold it open.
constexpr char kMonitorObjectSecurity[] = "D:P(A;;GA;;;SY)(A;;GA;;;BA)";
// A section only says "held": one page of the paging file, never mapped.
constexpr DWORD kMonitorObjectSize = 1;

}  // namespace

DWORD ClaimCardMonitor(UniqueHandle& claim) {
  UniqueLocalMemory security;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(
          kMonitorObjectSecurity, SDDL_REVISION_1,
          reinterpret_cast<PSECURITY_DESCRIPTOR*>(security.put()), nullptr))
    return GetLastError() != ERROR_SUCCESS ? GetLastError() : static_cast<DWORD>(ERROR_GEN_FAILURE);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, security.get(), FALSE};
  HANDLE made = CreateFileMappingA(INVALID_HANDLE_VALUE, &attributes, PAGE_READONLY, 0,
                                   kMonitorObjectSize, kMonitorObjectName);
  const DWORD error = GetLastError();
  claim.reset(made);
  if (!claim) return error != ERROR_SUCCESS ? error : static_cast<DWORD>(ERROR_GEN_FAILURE);
  if (error == ERROR_ALREADY_EXISTS) {
    claim.reset();
    return ERROR_SERVICE_ALREADY_RUNNING;
  }
  return ERROR_SUCCESS;
}

}  // namespace kstv

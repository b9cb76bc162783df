#include "monitor/MonitorClaim.h"

namespace kstv {
namespace {

constexpr char kMonitorObjectName[] = "Global\\KstvCardReader.CardMonitor";

}  // namespace

DWORD ClaimCardMonitor(UniqueHandle& claim) {
  HANDLE made = CreateMutexA(nullptr, FALSE, kMonitorObjectName);
  const DWORD error = GetLastError();
  claim.reset(made);
  if (!claim) return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
  if (error == ERROR_ALREADY_EXISTS) {
    claim.reset();
    return ERROR_SERVICE_ALREADY_RUNNING;
  }
  return ERROR_SUCCESS;
}

}  // namespace kstv

#include "registrar/ModulePath.h"

namespace kstv {
namespace {

constexpr HRESULT kPathTooLong = HRESULT_FROM_WIN32(ERROR_BUFFER_OVERFLOW);  // 0x8007006F

}  // namespace

HRESULT lastErrorResult() {
  HRESULT result = HRESULT_FROM_WIN32(GetLastError());
  return FAILED(result) ? result : E_FAIL;
}

HRESULT readModulePath(HMODULE module, char (&path)[MAX_PATH]) {
  DWORD length = GetModuleFileNameA(module, path, MAX_PATH);
  if (length == MAX_PATH) return kPathTooLong;
  if (length == 0) return lastErrorResult();
  return S_OK;
}

}  // namespace kstv

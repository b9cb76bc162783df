#include "registrar/ScriptSources.h"

#include "platform/text16.h"
#include "registrar/Registrar.h"
#include "service/ServiceModule.h"

namespace kstv {
namespace {

constexpr OLECHAR kRegistryResourceType[] = KSTV_W("REGISTRY");
constexpr HRESULT kPathTooLong = HRESULT_FROM_WIN32(ERROR_BUFFER_OVERFLOW);  // 0x8007006F

}  // namespace

HRESULT applyRegistrationScript(UINT resourceId, BOOL doRegister, const ReplacementEntry* extra) {
  Registrar registrar;
  const ServiceModule* module = CurrentServiceModule();
  char path[MAX_PATH];
  DWORD length = GetModuleFileNameA(module ? module->instance : nullptr, path, MAX_PATH);
  if (length == MAX_PATH) return kPathTooLong;
  if (length == 0) {
    HRESULT error = HRESULT_FROM_WIN32(GetLastError());
    return FAILED(error) ? error : E_FAIL;
  }
  WCHAR widePath[MAX_PATH];
  if (MultiByteToWideChar(CP_ACP, 0, path, -1, widePath, MAX_PATH) == 0) return E_OUTOFMEMORY;

  HRESULT result = AddModuleReplacement(registrar.replacements(), widePath);
  for (const ReplacementEntry* entry = extra; SUCCEEDED(result) && entry && entry->key; ++entry)
    result = registrar.replacements().add(entry->key, entry->value);
  if (SUCCEEDED(result)) {
    // Loaded from the plain path; only the replacement is escaped.
    result = doRegister
                 ? registrar.registerResourceScript(widePath, resourceId, kRegistryResourceType)
                 : registrar.unregisterResourceScript(widePath, resourceId, kRegistryResourceType);
  }
  registrar.replacements().clear();
  return result;
}

}  // namespace kstv

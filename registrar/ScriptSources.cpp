#include "registrar/ScriptSources.h"

#include "module/ServiceModule.h"
#include "platform/text16.h"
#include "registrar/ModulePath.h"
#include "registrar/Registrar.h"

namespace kstv {
namespace {

constexpr OLECHAR kRegistryResourceType[] = KSTV_W("REGISTRY");

}  // namespace

HRESULT applyRegistrationScript(UINT resourceId, BOOL doRegister, const ReplacementEntry* extra) {
  Registrar registrar;
  const ServiceModule* module = CurrentServiceModule();
  char path[MAX_PATH];
  HRESULT pathResult = readModulePath(module ? module->instance : nullptr, path);
  if (FAILED(pathResult)) return pathResult;
  WCHAR widePath[MAX_PATH];
  if (MultiByteToWideChar(CP_ACP, 0, path, -1, widePath, MAX_PATH) == 0) return E_OUTOFMEMORY;

  HRESULT result = addModuleReplacement(registrar.replacements(), widePath);
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

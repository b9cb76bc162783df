// Registrar: runs registration scripts carried as resources, with the replacement map it
// owns for the duration of one call.
#pragma once

#include "platform/win32.h"
#include "registrar/ReplacementMap.h"

namespace kstv {

class Registrar {
 public:
  ReplacementMap& replacements() { return map_; }

  // Loads the resource `name` of type `type` from `file`, as data, and runs it.
  HRESULT runResourceScript(LPCOLESTR file, LPCSTR name, LPCSTR type, BOOL doRegister);
  HRESULT registerResourceScript(LPCOLESTR file, UINT id, LPCOLESTR type);
  HRESULT unregisterResourceScript(LPCOLESTR file, UINT id, LPCOLESTR type);

 private:
  HRESULT runResourceScript(LPCOLESTR file, UINT id, LPCOLESTR type, BOOL doRegister);

  ReplacementMap map_;
};

// Adds the Module replacement: the module path with every apostrophe doubled, so that it
// can stand inside a quoted script token.
HRESULT addModuleReplacement(ReplacementMap& map, LPCOLESTR modulePath);

}  // namespace kstv

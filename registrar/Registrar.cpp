#include "registrar/Registrar.h"

#include <cstring>

#include "platform/handles.h"
#include "platform/heap.h"
#include "platform/text16.h"
#include "registrar/ModulePath.h"
#include "registrar/RegistrarParser.h"

namespace kstv {
namespace {

constexpr OLECHAR kModuleName[] = KSTV_W("Module");

}  // namespace

HRESULT addModuleReplacement(ReplacementMap& map, LPCOLESTR modulePath) {
  // Each apostrophe doubled: at most twice the length, and the NUL.
  HeapBuffer escaped((2 * WideLength(modulePath) + 1) * sizeof(OLECHAR));
  if (!escaped) return E_OUTOFMEMORY;
  auto* out = reinterpret_cast<LPOLESTR>(escaped.get());
  for (LPCOLESTR c = modulePath; *c; ++c) {
    *out++ = *c;
    if (*c == KSTV_W('\'')) *out++ = *c;
  }
  *out = KSTV_W('\0');
  return map.add(kModuleName, reinterpret_cast<LPCOLESTR>(escaped.get()));
}

HRESULT Registrar::runResourceScript(LPCOLESTR file, LPCSTR name, LPCSTR type, BOOL doRegister) {
  HeapBuffer path = NarrowCopy(file);
  if (!path) return E_OUTOFMEMORY;
  UniqueLibrary module(LoadLibraryExA(path.get(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
  if (!module) return lastErrorResult();
  HRSRC resource = FindResourceA(module.get(), name, type);
  if (!resource) return lastErrorResult();
  HGLOBAL loaded = LoadResource(module.get(), resource);
  if (!loaded) return lastErrorResult();
  DWORD size = SizeofResource(module.get(), resource);
  // The script is exactly the resource's bytes; it carries no terminating zero of its own.
  HeapBuffer text(static_cast<std::size_t>(size) + 1);
  if (!text) return E_OUTOFMEMORY;
  std::memcpy(text.get(), LockResource(loaded), size);
  text.get()[size] = '\0';
  RegistrarParser parser(map_);
  return parser.runScript(text.get(), doRegister);
}

HRESULT Registrar::runResourceScript(LPCOLESTR file, UINT id, LPCOLESTR type, BOOL doRegister) {
  HeapBuffer typeName = NarrowCopy(type);
  if (!typeName) return E_OUTOFMEMORY;
  return runResourceScript(file, MAKEINTRESOURCEA(LOWORD(id)), typeName.get(), doRegister);
}

HRESULT Registrar::registerResourceScript(LPCOLESTR file, UINT id, LPCOLESTR type) {
  return runResourceScript(file, id, type, TRUE);
}

HRESULT Registrar::unregisterResourceScript(LPCOLESTR file, UINT id, LPCOLESTR type) {
  return runResourceScript(file, id, type, FALSE);
}

}  // namespace kstv

#include "registrar/TypeLibraryRegistration.h"

#include <cstdio>
#include <cstring>

#include "platform/handles.h"
#include "registrar/ModulePath.h"

namespace kstv {
namespace {

constexpr char kTypeLibraryExtension[] = ".tlb";
constexpr char kOleAutomationLibrary[] = "oleaut32.dll";
constexpr char kUnRegisterTypeLibName[] = "UnRegisterTypeLib";
// The longest path a type library is registered under, in characters.
constexpr UINT kMaxRegisteredPathLength = MAX_PATH - 1;

using UnRegisterTypeLibProc = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);

bool toWide(const char* path, WCHAR (&widePath)[MAX_PATH]) {
  return MultiByteToWideChar(CP_ACP, 0, path, -1, widePath, MAX_PATH) != 0;
}

// Replaces the extension of the path's last component by ".tlb", or appends it when
// there is none. Double-byte characters are stepped over whole.
HRESULT deriveLibraryFileName(char (&path)[MAX_PATH]) {
  char* extension = nullptr;
  char* position = path;
  for (; *position; position = CharNextA(position)) {
    if (*position == '.')
      extension = position;
    else if (*position == '\\' || *position == '/')
      extension = nullptr;
  }
  if (!extension) extension = position;
  if (static_cast<std::size_t>(extension - path) + sizeof kTypeLibraryExtension > MAX_PATH)
    return E_FAIL;
  std::memcpy(extension, kTypeLibraryExtension, sizeof kTypeLibraryExtension);
  return S_OK;
}

// The help directory: the path up to and including its last backslash, slash or colon;
// empty when it has none.
void helpDirectoryOf(BSTR path, WCHAR (&directory)[MAX_PATH]) {
  UINT length = SysStringLen(path);
  UINT end = 0;
  for (UINT i = 0; i < length; ++i)
    if (path[i] == KSTV_W('\\') || path[i] == KSTV_W('/') || path[i] == KSTV_W(':')) end = i + 1;
  std::memcpy(directory, path, end * sizeof(WCHAR));
  directory[end] = 0;
}

}  // namespace

HRESULT locateOwnTypeLibrary(const ServiceModule& module, BSTR* path, ITypeLib** library) {
  *path = nullptr;
  *library = nullptr;
  char modulePath[MAX_PATH];
  HRESULT result = readModulePath(module.typeLibraryInstance, modulePath);
  if (FAILED(result)) return result;

  WCHAR widePath[MAX_PATH];
  if (!toWide(modulePath, widePath)) return E_OUTOFMEMORY;
  UniqueInterface<ITypeLib> found;
  // The program's own file first: it carries the library as a resource.
  result = LoadTypeLib(widePath, found.put());
  if (FAILED(result)) {
    // The error of this first attempt is not reported.
    result = deriveLibraryFileName(modulePath);
    if (FAILED(result)) return result;
    if (!toWide(modulePath, widePath)) return E_OUTOFMEMORY;
    result = LoadTypeLib(widePath, found.put());
    if (FAILED(result)) return result;
  }
  // Success is never reported without a path.
  UniqueBstr foundPath(SysAllocString(widePath));
  if (!foundPath) return E_OUTOFMEMORY;
  *path = foundPath.release();
  *library = found.release();
  return result;
}

namespace {

// A copy of the library's attributes; the library itself is let go at once.
HRESULT readOwnLibraryAttributes(const ServiceModule& module, TLIBATTR& attributes) {
  UniqueBstr path;
  UniqueInterface<ITypeLib> library;
  HRESULT result = locateOwnTypeLibrary(module, path.put(), library.put());
  if (FAILED(result)) return result;
  TLIBATTR* found = nullptr;
  result = library.get()->GetLibAttr(&found);
  if (FAILED(result)) return result;
  if (!found) return E_POINTER;  // success without attributes
  attributes = *found;
  library.get()->ReleaseTLibAttr(found);
  return result;
}

// UnRegisterTypeLib, reached through oleaut32.dll; S_OK without removing anything when
// that entry point cannot be had.
HRESULT unregisterLibrary(const TLIBATTR& attributes) {
  UniqueLibrary oleAutomation(LoadLibraryA(kOleAutomationLibrary));
  if (!oleAutomation) return S_OK;
  // A procedure's address is untyped; it is typed again through void(*)().
  auto unregister = reinterpret_cast<UnRegisterTypeLibProc>(
      reinterpret_cast<void (*)()>(GetProcAddress(oleAutomation.get(), kUnRegisterTypeLibName)));
  if (!unregister) return S_OK;
  return unregister(attributes.guid, attributes.wMajorVerNum, attributes.wMinorVerNum,
                    attributes.lcid, attributes.syskind);
}

}  // namespace

HRESULT registerOwnTypeLibrary(const ServiceModule& module) {
  UniqueBstr path;
  UniqueInterface<ITypeLib> library;
  HRESULT result = locateOwnTypeLibrary(module, path.put(), library.put());
  if (FAILED(result)) return result;
  if (SysStringLen(path.get()) > kMaxRegisteredPathLength) return CO_E_PATHTOOLONG;
  WCHAR helpDirectory[MAX_PATH];
  helpDirectoryOf(path.get(), helpDirectory);
  return RegisterTypeLib(library.get(), path.get(), helpDirectory);
}

HRESULT unregisterOwnTypeLibrary(const ServiceModule& module) {
  TLIBATTR attributes;
  HRESULT result = readOwnLibraryAttributes(module, attributes);
  if (FAILED(result)) return result;
  return unregisterLibrary(attributes);
}

HRESULT removeOwnTypeLibraryRegistration(const ServiceModule& module) {
  TLIBATTR attributes;
  HRESULT result = readOwnLibraryAttributes(module, attributes);
  if (FAILED(result)) return result;
  UniqueBstr registeredPath;
  // The platforms disagree on what unregistering a library that is not there gives.
  if (QueryPathOfRegTypeLib(attributes.guid, attributes.wMajorVerNum, attributes.wMinorVerNum,
                            attributes.lcid, registeredPath.put()) == TYPE_E_LIBNOTREGISTERED)
    return S_OK;
  return unregisterLibrary(attributes);
}

HRESULT registeredOwnTypeLibraryPath(const ServiceModule& module, BSTR* path) {
  *path = nullptr;
  TLIBATTR attributes;
  HRESULT result = readOwnLibraryAttributes(module, attributes);
  if (FAILED(result)) return result;
  return QueryPathOfRegTypeLib(attributes.guid, attributes.wMajorVerNum, attributes.wMinorVerNum,
                               attributes.lcid, path);
}

HRESULT ownTypeLibraryKeyName(const ServiceModule& module,
                              char (&keyName)[kTypeLibraryKeyNameCapacity]) {
  TLIBATTR attributes;
  HRESULT result = readOwnLibraryAttributes(module, attributes);
  if (FAILED(result)) return result;
  const GUID& id = attributes.guid;
  std::snprintf(keyName, sizeof keyName,
                "TypeLib\\{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned long>(id.Data1), id.Data2, id.Data3, id.Data4[0], id.Data4[1],
                id.Data4[2], id.Data4[3], id.Data4[4], id.Data4[5], id.Data4[6], id.Data4[7]);
  return S_OK;
}

HRESULT registerServerEntries(const ServiceModule& module, BOOL withTypeLibrary) {
  return withTypeLibrary ? registerOwnTypeLibrary(module) : S_OK;
}

HRESULT unregisterServerEntries(const ServiceModule& module, BOOL withTypeLibrary) {
  if (withTypeLibrary) unregisterOwnTypeLibrary(module);
  return S_OK;
}

}  // namespace kstv

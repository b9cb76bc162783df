// Registration of the program's type library, the only server entry it has: found in
// the program's own file, or in a .tlb file of the same name beside it.
#pragma once

#include "module/ServiceModule.h"
#include "platform/win32.h"

namespace kstv {

// Loads the library for `typeLibraryInstance`: from the module's own file, else from the
// ".tlb" name derived from that path. On success the caller owns both outputs (the path
// through SysFreeString, the library through Release); on failure both are null.
HRESULT locateOwnTypeLibrary(const ServiceModule& module, BSTR* path, ITypeLib** library);

// RegisterTypeLib with the path found and its folder as the help directory.
HRESULT registerOwnTypeLibrary(const ServiceModule& module);

// UnRegisterTypeLib, reached through oleaut32.dll, with the library's own attributes;
// S_OK without removing anything when that entry point cannot be had.
HRESULT unregisterOwnTypeLibrary(const ServiceModule& module);

// Unregisters the library if it is registered: S_OK when it is not (nothing to remove),
// else the result of unregisterOwnTypeLibrary. For UnregServer and for undoing a failed
// registration, which must not call a library that is not there a failure, nor a library
// that stays registered a success.
HRESULT removeOwnTypeLibraryRegistration(const ServiceModule& module);

// The path the library is registered with (the caller frees it with SysFreeString):
// S_OK, TYPE_E_LIBNOTREGISTERED when it is not registered, or the failure that kept it
// from being read. Changes nothing.
HRESULT registeredOwnTypeLibraryPath(const ServiceModule& module, BSTR* path);

// Where the platform keeps the library's registration, below HKEY_CLASSES_ROOT:
// "TypeLib\{LIBID}", from the library's own attributes. A registration road that fails
// puts that key back as it was.
inline constexpr int kTypeLibraryKeyNameCapacity = 48;
HRESULT ownTypeLibraryKeyName(const ServiceModule& module,
                              char (&keyName)[kTypeLibraryKeyNameCapacity]);

// Registers the type library when withTypeLibrary is set (the class table is empty).
HRESULT registerServerEntries(const ServiceModule& module, BOOL withTypeLibrary);

// Unregisters the type library when withTypeLibrary is set; S_OK whatever happens.
HRESULT unregisterServerEntries(const ServiceModule& module, BOOL withTypeLibrary);

}  // namespace kstv

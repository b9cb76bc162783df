// Host build: type libraries, as OLE Automation presents them: ITypeLib with its library
// attributes, loading, registration and unregistration.
#pragma once

#include "platform/host/win32_com.h"
#include "platform/host/win32_oleauto.h"
#include "platform/host/win32_types.h"

enum SYSKIND { SYS_WIN16 = 0, SYS_WIN32 = 1, SYS_MAC = 2, SYS_WIN64 = 3 };

struct TLIBATTR {
  GUID guid;
  LCID lcid;
  SYSKIND syskind;
  WORD wMajorVerNum;
  WORD wMinorVerNum;
  WORD wLibFlags;
};
typedef TLIBATTR* LPTLIBATTR;

// Set on every library loaded from a file, as Windows reports it.
#define LIBFLAG_FHASDISKIMAGE 0x8

struct ITypeInfo;
struct ITypeComp;
typedef DWORD TYPEKIND;
typedef LONG MEMBERID;

// The methods in ITypeLib's order; the host serves the library attributes and its
// documentation, and answers the rest with E_NOTIMPL (a library without types).
struct ITypeLib : IUnknown {
  virtual UINT STDMETHODCALLTYPE GetTypeInfoCount() = 0;
  virtual HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, ITypeInfo** info) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetTypeInfoType(UINT index, TYPEKIND* kind) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** info) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetLibAttr(TLIBATTR** attributes) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp** comp) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetDocumentation(INT index, BSTR* name, BSTR* docString,
                                                     DWORD* helpContext, BSTR* helpFile) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsName(LPOLESTR name, ULONG hash, BOOL* found) = 0;
  virtual HRESULT STDMETHODCALLTYPE FindName(LPOLESTR name, ULONG hash, ITypeInfo** infos,
                                             MEMBERID* ids, USHORT* found) = 0;
  virtual void STDMETHODCALLTYPE ReleaseTLibAttr(TLIBATTR* attributes) = 0;

 protected:
  ~ITypeLib() = default;
};

extern const IID IID_ITypeLib;

#define TYPE_E_CANTLOADLIBRARY static_cast<HRESULT>(0x80029C4AL)
#define TYPE_E_INVDATAREAD static_cast<HRESULT>(0x80028018L)
#define TYPE_E_REGISTRYACCESS static_cast<HRESULT>(0x8002801CL)
#define TYPE_E_LIBNOTREGISTERED static_cast<HRESULT>(0x8002801DL)
#define CO_E_PATHTOOLONG static_cast<HRESULT>(0x80010135L)

// Loads a compiled library ("MSFT" format): the program's own file gives its embedded
// TYPELIB 1; any other path is read as a .tlb file on the emulated machine.
HRESULT WINAPI LoadTypeLib(LPCOLESTR file, ITypeLib** library);
// Writes HKEY_CLASSES_ROOT\TypeLib\{LIBID}\<major>.<minor> as Windows does: the help
// string as its default value, FLAGS, <lcid>\win32 (or win64) with the path, HELPDIR.
HRESULT WINAPI RegisterTypeLib(ITypeLib* library, LPCOLESTR fullPath, LPCOLESTR helpDirectory);
// Removes that registration again: the system kind's key, then every key left empty.
HRESULT WINAPI UnRegisterTypeLib(REFGUID libraryId, WORD majorVersion, WORD minorVersion,
                                 LCID locale, SYSKIND kind);
// The path a library is registered with for that version and locale (or the locale's
// language, or the neutral locale, as Windows falls back), win64 before win32;
// TYPE_E_LIBNOTREGISTERED when there is none. The caller frees the path.
HRESULT WINAPI QueryPathOfRegTypeLib(REFGUID libraryId, WORD majorVersion, WORD minorVersion,
                                     LCID locale, BSTR* path);

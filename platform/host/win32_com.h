// Host build: COM basics: GUIDs, IUnknown, the apartment of a thread, class objects.
#pragma once

#include "platform/host/win32_types.h"

#define STDMETHODCALLTYPE
#define STDAPI extern "C" HRESULT

#define COINIT_APARTMENTTHREADED 0x2UL
#define COINIT_MULTITHREADED 0x0UL

#define CLSCTX_INPROC_SERVER 0x1UL
#define CLSCTX_LOCAL_SERVER 0x4UL

#define RPC_C_AUTHN_NONE 0UL
#define RPC_C_AUTHN_WINNT 10UL
#define RPC_C_AUTHN_DEFAULT 0xFFFFFFFFUL
#define RPC_C_AUTHZ_NONE 0UL
#define RPC_C_AUTHN_LEVEL_DEFAULT 0UL
#define RPC_C_AUTHN_LEVEL_CALL 3UL
#define RPC_C_AUTHN_LEVEL_PKT 4UL
#define RPC_C_IMP_LEVEL_IMPERSONATE 3UL
#define EOAC_NONE 0UL

#define E_NOINTERFACE static_cast<HRESULT>(0x80004002L)
#define CLASS_E_NOAGGREGATION static_cast<HRESULT>(0x80040110L)
#define REGDB_E_CLASSNOTREG static_cast<HRESULT>(0x80040154L)
#define CO_E_NOTINITIALIZED static_cast<HRESULT>(0x800401F0L)

struct GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
};
typedef GUID IID;
typedef GUID CLSID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;

inline bool operator==(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}
inline BOOL IsEqualGUID(REFGUID a, REFGUID b) { return a == b ? TRUE : FALSE; }
#define IsEqualIID(a, b) IsEqualGUID(a, b)

struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;

 protected:
  ~IUnknown() = default;
};
typedef IUnknown* LPUNKNOWN;

extern const IID IID_IUnknown;

HRESULT WINAPI CoInitialize(LPVOID reserved);
HRESULT WINAPI CoInitializeEx(LPVOID reserved, DWORD coInit);
void WINAPI CoUninitialize();

#define CLSCTX_LOCAL_SERVER_ONLY CLSCTX_LOCAL_SERVER
#define REGCLS_MULTIPLEUSE 1
HRESULT WINAPI CoRegisterClassObject(REFCLSID classId, IUnknown* object, DWORD context, DWORD flags,
                                     LPDWORD cookie);
HRESULT WINAPI CoRevokeClassObject(DWORD cookie);

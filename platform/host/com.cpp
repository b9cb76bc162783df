// COM initialisation bookkeeping per thread: the first successful call gives S_OK,
// further ones S_FALSE, a call with the other concurrency model RPC_E_CHANGED_MODE.
#include <atomic>

#include "platform/host/control.h"
#include "platform/host/detail/failures.h"

namespace kstv::host {
namespace {

struct ThreadApartment {
  int depth = 0;
  DWORD model = 0;
};

thread_local ThreadApartment apartment;

}  // namespace

int comInitializationDepth() { return apartment.depth; }

}  // namespace kstv::host

HRESULT WINAPI CoInitializeEx(LPVOID, DWORD coInit) {
  if (auto code = kstv::host::detail::injectedFailure("CoInitializeEx"))
    return static_cast<HRESULT>(*code);
  auto& apartment = kstv::host::apartment;
  DWORD model = coInit & COINIT_APARTMENTTHREADED;
  if (apartment.depth > 0 && apartment.model != model) return RPC_E_CHANGED_MODE;
  apartment.model = model;
  return apartment.depth++ == 0 ? S_OK : S_FALSE;
}

HRESULT WINAPI CoInitialize(LPVOID reserved) {
  if (auto code = kstv::host::detail::injectedFailure("CoInitialize"))
    return static_cast<HRESULT>(*code);
  return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED);
}

void WINAPI CoUninitialize() {
  if (kstv::host::apartment.depth > 0) --kstv::host::apartment.depth;
}

// Class objects are taken and given back; no other process can ask for them here.
HRESULT WINAPI CoRegisterClassObject(REFCLSID, IUnknown* object, DWORD, DWORD, LPDWORD cookie) {
  static std::atomic<DWORD> nextCookie{1};
  if (!object || !cookie) return E_INVALIDARG;
  *cookie = nextCookie++;
  return S_OK;
}

HRESULT WINAPI CoRevokeClassObject(DWORD) { return S_OK; }

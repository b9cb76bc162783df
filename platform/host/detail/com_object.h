// Host build, internal: the base of the host's own COM objects: an interlocked count that
// starts at one (the creator's reference), QueryInterface for IUnknown and one interface,
// and a process-wide count of live objects for leak tests.
#pragma once

#include <atomic>

#include "platform/win32.h"

namespace kstv::host::detail {

std::atomic<long>& liveComObjects();

template <typename Interface, const IID* InterfaceId>
class ComObject : public Interface {
 public:
  ComObject() { ++liveComObjects(); }
  virtual ~ComObject() { --liveComObjects(); }
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == *InterfaceId) {
      *object = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG remaining = --references_;
    if (remaining == 0) delete this;
    return remaining;
  }

 private:
  std::atomic<ULONG> references_{1};
};

}  // namespace kstv::host::detail

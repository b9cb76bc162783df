// The base of COM objects written in the tests (both builds): an interlocked count that
// starts at one, QueryInterface for IUnknown and the one interface, and a count of live
// instances so that tests can see every reference was given back.
#pragma once

#include <atomic>

#include "platform/win32.h"

namespace kstv::test {

template <typename Interface>
class ComBase : public Interface {
 public:
  static std::atomic<int>& live() {
    static std::atomic<int> count{0};
    return count;
  }

  explicit ComBase(const IID& interfaceId) : interfaceId_(interfaceId) { ++live(); }
  virtual ~ComBase() { --live(); }
  ComBase(const ComBase&) = delete;
  ComBase& operator=(const ComBase&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, interfaceId_)) {
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
  const IID& interfaceId_;
  std::atomic<ULONG> references_{1};
};

}  // namespace kstv::test

// Windows build, for the test under Wine's real service control manager: the program's
// own entry point, with test doubles for the WMI locator and the unsecured apartment
// registered first (Wine's WMI does not serve these notification queries); the
// registration words take the product's own roads, without doubles. The doubles
// accept the two queries and deliver nothing; cancelling a query reports its end, after
// the time HKLM\SOFTWARE\Kestrova\KstvCardReaderTests "CancelDelayMilliseconds" says (none
// without it): a service that takes its time to stop, as a scenario may need one.
#include <atomic>
#include <mutex>
#include <vector>

#include "platform/win32.h"
#include "service/CommandLine.h"
#include "service/Entry.h"
#include "tests/support/ComBase.h"

namespace {

DWORD CancelDelayMilliseconds() {
  DWORD delay = 0;
  DWORD size = sizeof delay;
  if (RegGetValueA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestrova\\KstvCardReaderTests",
                   "CancelDelayMilliseconds", RRF_RT_REG_DWORD, nullptr, &delay,
                   &size) != ERROR_SUCCESS)
    return 0;
  return delay;
}

// Each double answers for its own interface.
template <typename Interface>
class Double : public kstv::test::ComBase<Interface> {
 public:
  Double() : kstv::test::ComBase<Interface>(__uuidof(Interface)) {}
};

// Also a client-security object, as WMI's proxy is: CoSetProxyBlanket asks for that.
class Services final : public Double<IWbemServices>, public IClientSecurity {
 public:
  ~Services() override {
    for (IWbemObjectSink* sink : sinks_) sink->Release();
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (IsEqualIID(iid, IID_IClientSecurity)) {
      *object = static_cast<IClientSecurity*>(this);
      AddRef();
      return S_OK;
    }
    return Double<IWbemServices>::QueryInterface(iid, object);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return Double<IWbemServices>::AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return Double<IWbemServices>::Release(); }
  HRESULT STDMETHODCALLTYPE QueryBlanket(IUnknown*, DWORD*, DWORD*, OLECHAR**, DWORD*, DWORD*,
                                         void**, DWORD*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SetBlanket(IUnknown*, DWORD, DWORD, OLECHAR*, DWORD, DWORD, void*,
                                       DWORD) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CopyProxy(IUnknown*, IUnknown**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ExecNotificationQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                                                       IWbemObjectSink* sink) override {
    std::lock_guard guard(lock_);
    sink->AddRef();
    sinks_.push_back(sink);
    return WBEM_S_NO_ERROR;
  }
  HRESULT STDMETHODCALLTYPE CancelAsyncCall(IWbemObjectSink* sink) override {
    Sleep(CancelDelayMilliseconds());
    std::lock_guard guard(lock_);
    for (auto it = sinks_.begin(); it != sinks_.end(); ++it) {
      if (*it != sink) continue;
      sink->SetStatus(WBEM_STATUS_COMPLETE, WBEM_E_CALL_CANCELLED, nullptr, nullptr);
      sink->Release();
      sinks_.erase(it);
      return WBEM_S_NO_ERROR;
    }
    return WBEM_E_NOT_FOUND;
  }
#define KSTV_DOUBLE_NOT_SUPPORTED(signature) \
  HRESULT STDMETHODCALLTYPE signature override { return WBEM_E_NOT_SUPPORTED; }
  KSTV_DOUBLE_NOT_SUPPORTED(OpenNamespace(const BSTR, LONG, IWbemContext*, IWbemServices**,
                                          IWbemCallResult**))
  KSTV_DOUBLE_NOT_SUPPORTED(QueryObjectSink(LONG, IWbemObjectSink**))
  KSTV_DOUBLE_NOT_SUPPORTED(GetObject(const BSTR, LONG, IWbemContext*, IWbemClassObject**,
                                      IWbemCallResult**))
  KSTV_DOUBLE_NOT_SUPPORTED(GetObjectAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*))
  KSTV_DOUBLE_NOT_SUPPORTED(PutClass(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**))
  KSTV_DOUBLE_NOT_SUPPORTED(PutClassAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*))
  KSTV_DOUBLE_NOT_SUPPORTED(DeleteClass(const BSTR, LONG, IWbemContext*, IWbemCallResult**))
  KSTV_DOUBLE_NOT_SUPPORTED(DeleteClassAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*))
  KSTV_DOUBLE_NOT_SUPPORTED(CreateClassEnum(const BSTR, LONG, IWbemContext*,
                                            IEnumWbemClassObject**))
  KSTV_DOUBLE_NOT_SUPPORTED(CreateClassEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*))
  KSTV_DOUBLE_NOT_SUPPORTED(PutInstance(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**))
  KSTV_DOUBLE_NOT_SUPPORTED(PutInstanceAsync(IWbemClassObject*, LONG, IWbemContext*,
                                             IWbemObjectSink*))
  KSTV_DOUBLE_NOT_SUPPORTED(DeleteInstance(const BSTR, LONG, IWbemContext*, IWbemCallResult**))
  KSTV_DOUBLE_NOT_SUPPORTED(DeleteInstanceAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*))
  KSTV_DOUBLE_NOT_SUPPORTED(CreateInstanceEnum(const BSTR, LONG, IWbemContext*,
                                               IEnumWbemClassObject**))
  KSTV_DOUBLE_NOT_SUPPORTED(CreateInstanceEnumAsync(const BSTR, LONG, IWbemContext*,
                                                    IWbemObjectSink*))
  KSTV_DOUBLE_NOT_SUPPORTED(ExecQuery(const BSTR, const BSTR, LONG, IWbemContext*,
                                      IEnumWbemClassObject**))
  KSTV_DOUBLE_NOT_SUPPORTED(ExecQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                                           IWbemObjectSink*))
  KSTV_DOUBLE_NOT_SUPPORTED(ExecNotificationQuery(const BSTR, const BSTR, LONG, IWbemContext*,
                                                  IEnumWbemClassObject**))
  KSTV_DOUBLE_NOT_SUPPORTED(ExecMethod(const BSTR, const BSTR, LONG, IWbemContext*,
                                       IWbemClassObject*, IWbemClassObject**, IWbemCallResult**))
  KSTV_DOUBLE_NOT_SUPPORTED(ExecMethodAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                                            IWbemClassObject*, IWbemObjectSink*))
#undef KSTV_DOUBLE_NOT_SUPPORTED

 private:
  std::mutex lock_;
  std::vector<IWbemObjectSink*> sinks_;
};

class Locator final : public Double<IWbemLocator> {
 public:
  HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR, const BSTR, const BSTR, const BSTR, LONG,
                                          const BSTR, IWbemContext*,
                                          IWbemServices** services) override {
    *services = new Services;
    return WBEM_S_NO_ERROR;
  }
};

// The stub is the sink itself: the doubles call it on their own thread anyway.
class Apartment final : public Double<IUnsecuredApartment> {
 public:
  HRESULT STDMETHODCALLTYPE CreateObjectStub(IUnknown* object, IUnknown** stub) override {
    object->AddRef();
    *stub = object;
    return S_OK;
  }
};

template <typename Made>
class Factory final : public Double<IClassFactory> {
 public:
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (outer) return CLASS_E_NOAGGREGATION;
    auto* made = new Made;
    HRESULT result = made->QueryInterface(iid, object);
    made->Release();
    return result;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

}  // namespace

int main() {
  // The registration roads run as in the product: they initialise COM themselves.
  if (kstv::FindCommandWord(GetCommandLineA()) != kstv::CommandWord::None)
    return kstv::Entry(GetModuleHandleA(nullptr), nullptr, nullptr, SW_SHOWDEFAULT);
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  DWORD locatorCookie = 0, apartmentCookie = 0;
  auto* locator = new Factory<Locator>;
  auto* apartment = new Factory<Apartment>;
  CoRegisterClassObject(CLSID_WbemLocator, locator, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                        &locatorCookie);
  CoRegisterClassObject(CLSID_UnsecuredApartment, apartment, CLSCTX_LOCAL_SERVER,
                        REGCLS_MULTIPLEUSE, &apartmentCookie);
  int exitCode = kstv::Entry(GetModuleHandleA(nullptr), nullptr, nullptr, SW_SHOWDEFAULT);
  CoRevokeClassObject(locatorCookie);
  CoRevokeClassObject(apartmentCookie);
  locator->Release();
  apartment->Release();
  CoUninitialize();
  return exitCode;
}

#include "monitor/DiskEventSubscription.h"

#include <cstdio>
#include <new>

#include "monitor/DiskEventSinks.h"
#include "platform/handles.h"

namespace kstv {
namespace {

constexpr const WCHAR* kNamespace = KSTV_W("ROOT\\CIMV2");
constexpr const WCHAR* kQueryLanguage = KSTV_W("WQL");
constexpr const WCHAR* kCreationQuery = KSTV_W(
    "SELECT * FROM __InstanceCreationEvent WITHIN 0.1 WHERE TargetInstance ISA "
    "'Win32_LogicalDisk'");
constexpr const WCHAR* kDeletionQuery = KSTV_W(
    "SELECT * FROM __InstanceDeletionEvent WITHIN 1 WHERE TargetInstance ISA 'Win32_LogicalDisk'");

IWbemLocator* wbemLocator = nullptr;
IWbemServices* wbemServices = nullptr;
IUnsecuredApartment* unsecuredApartment = nullptr;
DiskArrivalSink* arrivalSink = nullptr;
IUnknown* arrivalStub = nullptr;
IWbemObjectSink* arrivalStubSink = nullptr;
DiskRemovalSink* removalSink = nullptr;
IUnknown* removalStub = nullptr;
IWbemObjectSink* removalStubSink = nullptr;
// What the last SubscribeDiskEvents failed with, S_OK when both queries stand.
HRESULT subscriptionResult = S_OK;

template <typename Interface>
void ReleaseAndClear(Interface*& pointer) {
  if (!pointer) return;
  pointer->Release();
  pointer = nullptr;
}

// Makes a sink with its creator's reference, the apartment's stub around it and the
// stub's sink interface. False when any of them cannot be had.
// A call that succeeded but gave no object counts as E_POINTER. The object is looked at
// through its address, after the call has been made.
template <typename Interface>
bool Failed(HRESULT result, Interface* const* object) {
  if (SUCCEEDED(result) && *object) return false;
  subscriptionResult = FAILED(result) ? result : E_POINTER;
  return true;
}

bool Failed(HRESULT result) {
  if (SUCCEEDED(result)) return false;
  subscriptionResult = result;
  return true;
}

template <typename Sink>
bool MakeStubbedSink(Sink*& sink, IUnknown*& stub, IWbemObjectSink*& stubSink) {
  sink = new (std::nothrow) Sink;
  if (Failed(sink ? S_OK : E_OUTOFMEMORY)) return false;
  sink->AddRef();
  if (Failed(unsecuredApartment->CreateObjectStub(sink, &stub), &stub)) return false;
  return !Failed(stub->QueryInterface(IID_IWbemObjectSink, reinterpret_cast<void**>(&stubSink)),
                 &stubSink);
}

bool StartQuery(const WCHAR* query, IWbemObjectSink* sink) {
  UniqueBstr language(SysAllocString(kQueryLanguage));
  UniqueBstr text(SysAllocString(query));
  if (!language || !text) {
    // The query was never made: say what failed instead.
    std::printf("SysAllocString failed with = 0x%X\n", static_cast<unsigned>(E_OUTOFMEMORY));
    subscriptionResult = E_OUTOFMEMORY;
    return false;
  }
  HRESULT result = wbemServices->ExecNotificationQueryAsync(language.get(), text.get(),
                                                            WBEM_FLAG_SEND_STATUS, nullptr, sink);
  if (FAILED(result)) {
    std::printf("ExecNotificationQueryAsync failed with = 0x%X\n", static_cast<unsigned>(result));
    subscriptionResult = result;
    return false;
  }
  return true;
}

}  // namespace

int SubscribeDiskEvents() {
  subscriptionResult = S_OK;
  if (Failed(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                              reinterpret_cast<void**>(&wbemLocator)),
             &wbemLocator))
    return 1;

  UniqueBstr resource(SysAllocString(kNamespace));
  if (Failed(resource ? S_OK : E_OUTOFMEMORY) ||
      Failed(wbemLocator->ConnectServer(resource.get(), nullptr, nullptr, nullptr, 0, nullptr,
                                        nullptr, &wbemServices),
             &wbemServices))
    return 1;

  if (Failed(CoSetProxyBlanket(wbemServices, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                               RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr,
                               EOAC_NONE)))
    return 1;

  if (Failed(
          CoCreateInstance(CLSID_UnsecuredApartment, nullptr, CLSCTX_LOCAL_SERVER,
                           IID_IUnsecuredApartment, reinterpret_cast<void**>(&unsecuredApartment)),
          &unsecuredApartment))
    return 1;

  if (!MakeStubbedSink(arrivalSink, arrivalStub, arrivalStubSink)) return 1;
  if (!StartQuery(kCreationQuery, arrivalStubSink)) return 1;

  if (!MakeStubbedSink(removalSink, removalStub, removalStubSink)) return 1;
  if (!StartQuery(kDeletionQuery, removalStubSink)) return 1;
  return 0;
}

HRESULT DiskEventSubscriptionFailure() { return subscriptionResult; }

void UnsubscribeDiskEvents() {
  if (wbemServices) {
    if (arrivalStubSink) wbemServices->CancelAsyncCall(arrivalStubSink);
    if (removalStubSink) wbemServices->CancelAsyncCall(removalStubSink);
    ReleaseAndClear(wbemServices);
  }
  ReleaseAndClear(wbemLocator);
  ReleaseAndClear(unsecuredApartment);
  ReleaseAndClear(arrivalStub);
  ReleaseAndClear(removalStub);
  ReleaseAndClear(arrivalSink);
  ReleaseAndClear(arrivalStubSink);
  ReleaseAndClear(removalSink);
  ReleaseAndClear(removalStubSink);
}

}  // namespace kstv

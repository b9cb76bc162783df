// Event objects written as COM objects in the tests, so that the sinks can be driven
// without WMI on both builds.
#pragma once

#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "platform/handles.h"
#include "platform/text16.h"
#include "platform/win32.h"
#include "tests/support/ComBase.h"

namespace kstv::test {

// A WMI object with properties set by the test; Get copies them out. Counts its live
// instances so that tests can see every reference was given back.
class FakeClassObject final : public ComBase<IWbemClassObject> {
 public:
  FakeClassObject() : ComBase(IID_IWbemClassObject) {}
  ~FakeClassObject() override {
    for (auto& property : properties_) VariantClear(&property.second);
  }

  // An __InstanceCreationEvent or __InstanceDeletionEvent whose TargetInstance is a
  // Win32_LogicalDisk with the given DeviceID (all of it, a NUL inside too). One
  // reference, for the caller.
  static FakeClassObject* diskEvent(const WideString& deviceId) {
    auto* disk = new FakeClassObject;
    disk->putString(KSTV_W("DeviceID"), deviceId);
    auto* event = new FakeClassObject;
    event->putObject(KSTV_W("TargetInstance"), disk);
    disk->Release();
    return event;
  }

  void putString(const WideString& name, const WideString& text) {
    VARIANT& value = slot(name);
    value.vt = VT_BSTR;
    value.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  }
  void putObject(const WideString& name, IUnknown* object) {
    VARIANT& value = slot(name);
    value.vt = VT_UNKNOWN;
    value.punkVal = object;
    object->AddRef();
  }
  // The object as VT_DISPATCH, as an automation client would hold it; only its IUnknown
  // part is ever called through that pointer.
  void putDispatch(const WideString& name, IUnknown* object) {
    VARIANT& value = slot(name);
    value.vt = VT_DISPATCH;
    value.pdispVal = reinterpret_cast<IDispatch*>(object);
    object->AddRef();
  }
  void putNullObject(const WideString& name) {
    VARIANT& value = slot(name);
    value.vt = VT_UNKNOWN;
    value.punkVal = nullptr;
  }
  void putNumber(const WideString& name, LONG number) {
    VARIANT& value = slot(name);
    value.vt = VT_I4;
    value.lVal = number;
  }

  HRESULT STDMETHODCALLTYPE Get(LPCWSTR name, LONG, VARIANT* value, CIMTYPE*, LONG*) override {
    auto found = properties_.find(name);
    if (found == properties_.end()) return WBEM_E_NOT_FOUND;
    VariantInit(value);
    return VariantCopy(value, &found->second);
  }

#define KSTV_FAKE_NOT_SUPPORTED(signature) \
  HRESULT STDMETHODCALLTYPE signature override { return WBEM_E_NOT_SUPPORTED; }
  KSTV_FAKE_NOT_SUPPORTED(GetQualifierSet(IWbemQualifierSet**))
  KSTV_FAKE_NOT_SUPPORTED(Put(LPCWSTR, LONG, VARIANT*, CIMTYPE))
  KSTV_FAKE_NOT_SUPPORTED(Delete(LPCWSTR))
  KSTV_FAKE_NOT_SUPPORTED(GetNames(LPCWSTR, LONG, VARIANT*, SAFEARRAY**))
  KSTV_FAKE_NOT_SUPPORTED(BeginEnumeration(LONG))
  KSTV_FAKE_NOT_SUPPORTED(Next(LONG, BSTR*, VARIANT*, CIMTYPE*, LONG*))
  KSTV_FAKE_NOT_SUPPORTED(EndEnumeration())
  KSTV_FAKE_NOT_SUPPORTED(GetPropertyQualifierSet(LPCWSTR, IWbemQualifierSet**))
  KSTV_FAKE_NOT_SUPPORTED(Clone(IWbemClassObject**))
  KSTV_FAKE_NOT_SUPPORTED(GetObjectText(LONG, BSTR*))
  KSTV_FAKE_NOT_SUPPORTED(SpawnDerivedClass(LONG, IWbemClassObject**))
  KSTV_FAKE_NOT_SUPPORTED(SpawnInstance(LONG, IWbemClassObject**))
  KSTV_FAKE_NOT_SUPPORTED(CompareTo(LONG, IWbemClassObject*))
  KSTV_FAKE_NOT_SUPPORTED(GetPropertyOrigin(LPCWSTR, BSTR*))
  KSTV_FAKE_NOT_SUPPORTED(InheritsFrom(LPCWSTR))
  KSTV_FAKE_NOT_SUPPORTED(GetMethod(LPCWSTR, LONG, IWbemClassObject**, IWbemClassObject**))
  KSTV_FAKE_NOT_SUPPORTED(PutMethod(LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*))
  KSTV_FAKE_NOT_SUPPORTED(DeleteMethod(LPCWSTR))
  KSTV_FAKE_NOT_SUPPORTED(BeginMethodEnumeration(LONG))
  KSTV_FAKE_NOT_SUPPORTED(NextMethod(LONG, BSTR*, IWbemClassObject**, IWbemClassObject**))
  KSTV_FAKE_NOT_SUPPORTED(EndMethodEnumeration())
  KSTV_FAKE_NOT_SUPPORTED(GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet**))
  KSTV_FAKE_NOT_SUPPORTED(GetMethodOrigin(LPCWSTR, BSTR*))
#undef KSTV_FAKE_NOT_SUPPORTED

 private:
  VARIANT& slot(const WideString& name) {
    VARIANT& value = properties_[name];
    VariantClear(&value);
    return value;
  }

  std::map<WideString, VARIANT> properties_;
};

// A batch of events as WMI hands it to Indicate; releases them when it goes.
class EventBatch {
 public:
  void add(FakeClassObject* event) { events_.push_back(event); }
  void addDisk(const WideString& deviceId) { add(FakeClassObject::diskEvent(deviceId)); }
  ~EventBatch() {
    for (IWbemClassObject* event : events_) event->Release();
  }
  LONG count() const { return static_cast<LONG>(events_.size()); }
  IWbemClassObject** objects() { return events_.data(); }

 private:
  std::vector<IWbemClassObject*> events_;
};

}  // namespace kstv::test

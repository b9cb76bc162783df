// Host build, internal: WMI's class objects (events and the disks they carry).
#pragma once

#include <map>
#include <string>

#include "platform/host/detail/com_object.h"

namespace kstv::host::detail {

// A WMI object with named properties; names compare without regard to case. Only Get
// is served; every other method answers WBEM_E_NOT_SUPPORTED.
class WmiObject final : public ComObject<IWbemClassObject, &IID_IWbemClassObject> {
 public:
  ~WmiObject() override;
  void putString(const std::u16string& name, const std::u16string& text);
  void putObject(const std::u16string& name, IUnknown* object);

  HRESULT STDMETHODCALLTYPE Get(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE* type,
                                LONG* flavor) override;
  HRESULT STDMETHODCALLTYPE GetQualifierSet(IWbemQualifierSet**) override;
  HRESULT STDMETHODCALLTYPE Put(LPCWSTR, LONG, VARIANT*, CIMTYPE) override;
  HRESULT STDMETHODCALLTYPE Delete(LPCWSTR) override;
  HRESULT STDMETHODCALLTYPE GetNames(LPCWSTR, LONG, VARIANT*, SAFEARRAY**) override;
  HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG) override;
  HRESULT STDMETHODCALLTYPE Next(LONG, BSTR*, VARIANT*, CIMTYPE*, LONG*) override;
  HRESULT STDMETHODCALLTYPE EndEnumeration() override;
  HRESULT STDMETHODCALLTYPE GetPropertyQualifierSet(LPCWSTR, IWbemQualifierSet**) override;
  HRESULT STDMETHODCALLTYPE Clone(IWbemClassObject**) override;
  HRESULT STDMETHODCALLTYPE GetObjectText(LONG, BSTR*) override;
  HRESULT STDMETHODCALLTYPE SpawnDerivedClass(LONG, IWbemClassObject**) override;
  HRESULT STDMETHODCALLTYPE SpawnInstance(LONG, IWbemClassObject**) override;
  HRESULT STDMETHODCALLTYPE CompareTo(LONG, IWbemClassObject*) override;
  HRESULT STDMETHODCALLTYPE GetPropertyOrigin(LPCWSTR, BSTR*) override;
  HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR) override;
  HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR, LONG, IWbemClassObject**,
                                      IWbemClassObject**) override;
  HRESULT STDMETHODCALLTYPE PutMethod(LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*) override;
  HRESULT STDMETHODCALLTYPE DeleteMethod(LPCWSTR) override;
  HRESULT STDMETHODCALLTYPE BeginMethodEnumeration(LONG) override;
  HRESULT STDMETHODCALLTYPE NextMethod(LONG, BSTR*, IWbemClassObject**,
                                       IWbemClassObject**) override;
  HRESULT STDMETHODCALLTYPE EndMethodEnumeration() override;
  HRESULT STDMETHODCALLTYPE GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet**) override;
  HRESULT STDMETHODCALLTYPE GetMethodOrigin(LPCWSTR, BSTR*) override;

 private:
  std::map<std::u16string, VARIANT> properties_;  // by folded name
};

// An __InstanceCreationEvent or __InstanceDeletionEvent for the disk of drive `letter`:
// its TargetInstance is a Win32_LogicalDisk whose DeviceID is "X:". One reference.
IWbemClassObject* makeDiskEvent(const std::u16string& eventClass, char letter);

}  // namespace kstv::host::detail

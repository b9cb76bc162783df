#include "platform/host/detail/wmi_objects.h"

#include "platform/host/detail/text.h"

namespace kstv::host::detail {

WmiObject::~WmiObject() {
  for (auto& [name, value] : properties_) VariantClear(&value);
}

void WmiObject::putString(const std::u16string& name, const std::u16string& text) {
  VARIANT& value = properties_[foldCase(name)];
  VariantClear(&value);
  value.vt = VT_BSTR;
  value.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

void WmiObject::putObject(const std::u16string& name, IUnknown* object) {
  VARIANT& value = properties_[foldCase(name)];
  VariantClear(&value);
  value.vt = VT_UNKNOWN;
  value.punkVal = object;
  object->AddRef();
}

HRESULT WmiObject::Get(LPCWSTR name, LONG, VARIANT* value, CIMTYPE* type, LONG* flavor) {
  if (!name) return WBEM_E_INVALID_PARAMETER;
  auto found = properties_.find(foldCase(name));
  if (found == properties_.end()) return WBEM_E_NOT_FOUND;
  if (value) {
    VariantInit(value);
    if (HRESULT copied = VariantCopy(value, &found->second); FAILED(copied)) return copied;
  }
  if (type) *type = found->second.vt == VT_BSTR ? 8 /* CIM_STRING */ : 13 /* CIM_OBJECT */;
  if (flavor) *flavor = 0;
  return WBEM_S_NO_ERROR;
}

HRESULT WmiObject::GetQualifierSet(IWbemQualifierSet**) { return WBEM_E_NOT_SUPPORTED; }
HRESULT WmiObject::Put(LPCWSTR, LONG, VARIANT*, CIMTYPE) { return WBEM_E_NOT_SUPPORTED; }
HRESULT WmiObject::Delete(LPCWSTR) { return WBEM_E_NOT_SUPPORTED; }
HRESULT WmiObject::GetNames(LPCWSTR, LONG, VARIANT*, SAFEARRAY**) { return WBEM_E_NOT_SUPPORTED; }
HRESULT WmiObject::BeginEnumeration(LONG) { return WBEM_E_NOT_SUPPORTED; }
HRESULT WmiObject::Next(LONG, BSTR*, VARIANT*, CIMTYPE*, LONG*) { return WBEM_E_NOT_SUPPORTED; }
HRESULT WmiObject::EndEnumeration() { return WBEM_E_NOT_SUPPORTED; }
HRESULT WmiObject::GetPropertyQualifierSet(LPCWSTR, IWbemQualifierSet**) {
  return WBEM_E_NOT_SUPPORTED;
}
HRESULT WmiObject::Clone(IWbemClassObject**) { return WBEM_E_NOT_SUPPORTED; }
HRESULT WmiObject::GetObjectText(LONG, BSTR*) { return WBEM_E_NOT_SUPPORTED; }
HRESULT WmiObject::SpawnDerivedClass(LONG, IWbemClassObject**) { return WBEM_E_NOT_SUPPORTED; }
HRESULT WmiObject::SpawnInstance(LONG, IWbemClassObject**) { return WBEM_E_NOT_SUPPORTED; }
HRESULT WmiObject::CompareTo(LONG, IWbemClassObject*) { return WBEM_E_NOT_SUPPORTED; }
HRESULT WmiObject::GetPropertyOrigin(LPCWSTR, BSTR*) { return WBEM_E_NOT_SUPPORTED; }
HRESULT WmiObject::InheritsFrom(LPCWSTR) { return WBEM_E_NOT_SUPPORTED; }
HRESULT WmiObject::GetMethod(LPCWSTR, LONG, IWbemClassObject**, IWbemClassObject**) {
  return WBEM_E_NOT_SUPPORTED;
}
HRESULT WmiObject::PutMethod(LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*) {
  return WBEM_E_NOT_SUPPORTED;
}
HRESULT WmiObject::DeleteMethod(LPCWSTR) { return WBEM_E_NOT_SUPPORTED; }
HRESULT WmiObject::BeginMethodEnumeration(LONG) { return WBEM_E_NOT_SUPPORTED; }
HRESULT WmiObject::NextMethod(LONG, BSTR*, IWbemClassObject**, IWbemClassObject**) {
  return WBEM_E_NOT_SUPPORTED;
}
HRESULT WmiObject::EndMethodEnumeration() { return WBEM_E_NOT_SUPPORTED; }
HRESULT WmiObject::GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet**) {
  return WBEM_E_NOT_SUPPORTED;
}
HRESULT WmiObject::GetMethodOrigin(LPCWSTR, BSTR*) { return WBEM_E_NOT_SUPPORTED; }

IWbemClassObject* makeDiskEvent(const std::u16string& eventClass, char letter) {
  auto* disk = new WmiObject;
  disk->putString(u"__CLASS", u"Win32_LogicalDisk");
  disk->putString(u"DeviceID", std::u16string{static_cast<char16_t>(letter), u':'});
  auto* event = new WmiObject;
  event->putString(u"__CLASS", eventClass);
  event->putObject(u"TargetInstance", disk);
  disk->Release();
  return event;
}

}  // namespace kstv::host::detail

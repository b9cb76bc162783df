#include "monitor/DiskEventSinks.h"

#include <cstdio>

#include "monitor/ConsoleLines.h"
#include "monitor/DriveBadges.h"
#include "monitor/DriveId.h"
#include "platform/handles.h"

namespace kstv {

HRESULT DiskEventSink::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IWbemObjectSink)) {
    *object = static_cast<IWbemObjectSink*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG DiskEventSink::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&refCount)); }

ULONG DiskEventSink::Release() {
  LONG remaining = InterlockedDecrement(&refCount);
  if (remaining == 0) delete this;
  return static_cast<ULONG>(remaining);
}

HRESULT DiskEventSink::SetStatus(LONG flags, HRESULT status, BSTR, IWbemClassObject*) {
  if (flags == WBEM_STATUS_COMPLETE) {
    std::printf("Call complete. hResult = 0x%X\n", static_cast<unsigned>(status));
  } else if (flags == WBEM_STATUS_PROGRESS) {
    std::printf("Call in progress.\n");
  }
  return WBEM_S_NO_ERROR;
}

bool ReadEventDriveId(IWbemClassObject* eventObject, WideString& driveId) {
  UniqueVariant target;
  if (FAILED(eventObject->Get(KSTV_W("TargetInstance"), 0, target.get(), nullptr, nullptr))) {
    WriteLine("Cannot get property");
    return false;
  }
  UniqueVariant converted;
  IUnknown* unknown = nullptr;
  if (target.get()->vt == VT_UNKNOWN) {
    unknown = target.get()->punkVal;
  } else if (SUCCEEDED(VariantChangeType(converted.get(), target.get(), 0, VT_UNKNOWN))) {
    unknown = converted.get()->punkVal;
  }
  UniqueInterface<IWbemClassObject> instance;
  if (!unknown || FAILED(unknown->QueryInterface(IID_IWbemClassObject,
                                                 reinterpret_cast<void**>(instance.put()))))
    return false;

  // A failed Get leaves the VARIANT empty, which reads as the empty string.
  UniqueVariant deviceId;
  instance.get()->Get(KSTV_W("DeviceID"), 0, deviceId.get(), nullptr, nullptr);
  UniqueVariant text;
  VARIANT* source = deviceId.get();
  if (source->vt != VT_BSTR) {
    if (FAILED(VariantChangeType(text.get(), source, 0, VT_BSTR))) return false;
    source = text.get();
  }
  driveId.assign(source->bstrVal ? source->bstrVal : KSTV_W(""), SysStringLen(source->bstrVal));
  return true;
}

// An arrival may find its card gone already, and a letter that held a card may turn up
// holding something else (its card went between two polls of the deletion query, which
// then never reports it): the drive is looked at as it is now.
HRESULT DiskArrivalSink::Indicate(LONG objectCount, IWbemClassObject** objects) {
  if (!objects) return WBEM_S_NO_ERROR;
  for (LONG i = 0; i < objectCount; ++i) {
    WideString driveId;
    if (!objects[i] || !ReadEventDriveId(objects[i], driveId) || !IsDriveId(driveId)) continue;
    RefreshDriveBadge(driveId.c_str());
  }
  return WBEM_S_NO_ERROR;
}

// A removal may come after the arrival of what replaced the disk, or while the disk's
// own arrival is still being handled: it too looks at the drive as it is now. The trace
// line is written only while a badge is recorded.
HRESULT DiskRemovalSink::Indicate(LONG objectCount, IWbemClassObject** objects) {
  if (!objects) return WBEM_S_NO_ERROR;
  const bool traced = AnyDriveBadgeRecorded();
  for (LONG i = 0; i < objectCount; ++i) {
    if (traced) PrintWide(KSTV_W("Disk removed...\n"));
    WideString driveId;
    if (!objects[i] || !ReadEventDriveId(objects[i], driveId) || !IsDriveId(driveId)) continue;
    RefreshDriveBadge(driveId.c_str());
  }
  return WBEM_S_NO_ERROR;
}

DiskRemovalSink::~DiskRemovalSink() { RemoveDriveBadgesOfRecord(record_); }

}  // namespace kstv

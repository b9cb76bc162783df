// The sinks that WMI calls with disk events. Each event, an arrival or a removal, has its
// drive looked at as it is when the event is handled: a drive holding a card gets its
// badge, any other loses a badge its letter carries. An event whose DeviceID is not a
// drive id (one letter and a colon) changes nothing.
#pragma once

#include "monitor/DriveBadges.h"
#include "platform/text16.h"
#include "platform/win32.h"

namespace kstv {

// The shared base: reference count, QueryInterface and SetStatus. Slot order: the three
// of IUnknown, Indicate, SetStatus, then the virtual destructor.
class DiskEventSink : public IWbemObjectSink {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE Indicate(LONG objectCount, IWbemClassObject** objects) override = 0;
  HRESULT STDMETHODCALLTYPE SetStatus(LONG flags, HRESULT status, BSTR parameter,
                                      IWbemClassObject* objectParameter) override;
  virtual ~DiskEventSink() = default;

  DiskEventSink(const DiskEventSink&) = delete;
  DiskEventSink& operator=(const DiskEventSink&) = delete;

 protected:
  DiskEventSink() = default;

 private:
  LONG refCount = 0;
};

// Reads the drive id ("E:") of one event: its TargetInstance's DeviceID. False when the
// event gives none ("Cannot get property" when TargetInstance cannot be read).
bool ReadEventDriveId(IWbemClassObject* eventObject, WideString& driveId);

class DiskArrivalSink final : public DiskEventSink {
 public:
  HRESULT STDMETHODCALLTYPE Indicate(LONG objectCount, IWbemClassObject** objects) override;
};

class DiskRemovalSink final : public DiskEventSink {
 public:
  HRESULT STDMETHODCALLTYPE Indicate(LONG objectCount, IWbemClassObject** objects) override;
  // Cards still badged when the sink goes lose their badges, as long as the run that made
  // the sink still keeps the record.
  ~DiskRemovalSink() override;

 private:
  const unsigned record_ = CurrentDriveBadgeRecord();
};

}  // namespace kstv

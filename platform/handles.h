// Owners for platform handles, strings and interfaces (system code holds registry keys
// in RegistryKey).
#pragma once

#include "platform/unique.h"
#include "platform/win32.h"

namespace kstv {

using UniqueKey = Unique<HKEY, RegCloseKey>;

}  // namespace kstv

namespace kstv {

struct InvalidHandleValue {
  static HANDLE value() { return INVALID_HANDLE_VALUE; }
};

// An opened file or volume.
using UniqueFileHandle = Unique<HANDLE, CloseHandle, InvalidHandleValue>;
// A kernel object whose handle is null when there is none (a section, a thread).
using UniqueHandle = Unique<HANDLE, CloseHandle>;
using UniqueLocalMemory = Unique<HLOCAL, LocalFree>;
using UniqueBstr = Unique<BSTR, SysFreeString>;
using UniqueTaskMemory = Unique<LPVOID, CoTaskMemFree>;
using UniqueLibrary = Unique<HMODULE, FreeLibrary>;
using UniqueServiceHandle = Unique<SC_HANDLE, CloseServiceHandle>;

template <typename Interface>
void ReleaseInterface(Interface* object) {
  object->Release();
}
// One reference to a COM interface.
template <typename Interface>
using UniqueInterface = Unique<Interface*, ReleaseInterface<Interface>>;

// A VARIANT that is initialised when made and cleared when it goes.
class UniqueVariant {
 public:
  UniqueVariant() { VariantInit(&value_); }
  ~UniqueVariant() { VariantClear(&value_); }
  UniqueVariant(const UniqueVariant&) = delete;
  UniqueVariant& operator=(const UniqueVariant&) = delete;
  VARIANT* get() { return &value_; }
  const VARIANT* get() const { return &value_; }

 private:
  VARIANT value_;
};

}  // namespace kstv

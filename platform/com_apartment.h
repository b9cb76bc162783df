// The calling thread's COM apartment for the length of a scope: entered when the guard is
// made, left when it goes, on every path out, if entering succeeded.
#pragma once

#include "platform/win32.h"

namespace kstv {

class ComApartment {
 public:
  // A single-threaded apartment, as CoInitialize enters it.
  ComApartment() : result_(CoInitialize(nullptr)) {}
  explicit ComApartment(DWORD concurrencyModel)
      : result_(CoInitializeEx(nullptr, concurrencyModel)) {}
  ~ComApartment() {
    if (SUCCEEDED(result_)) CoUninitialize();
  }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;

  // What entering gave: S_OK, S_FALSE when the thread was in the apartment already, or
  // the failure.
  HRESULT result() const { return result_; }

 private:
  HRESULT result_;
};

}  // namespace kstv

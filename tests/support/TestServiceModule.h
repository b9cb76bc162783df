// The record that tests of the service host, the diagnostics and the registrar work on,
// in place of the entry's own: it has static storage, like the entry's, so that the
// process-wide pointer never outlives it.
#pragma once

#include "module/ServiceModule.h"

namespace kstv::test {

inline ServiceModule& TestServiceModule() {
  static ServiceModule record{};
  return record;
}

// The test record, filled afresh for this program's module and made the process one.
inline ServiceModule& InitializedTestServiceModule() {
  ServiceModule& record = TestServiceModule();
  record.Initialize(theClassTable, GetModuleHandleA(nullptr));
  return record;
}

}  // namespace kstv::test

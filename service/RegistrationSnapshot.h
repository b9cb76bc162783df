// The program's registration as it was before a registration road: its AppID keys, its
// type library's key, its event source's key and its service entry's configuration, put
// back whole when the road fails, so that a failed repair or upgrade leaves the
// registration that worked.
#pragma once

#include "module/ServiceModule.h"
#include "platform/heap.h"
#include "registrar/TypeLibraryRegistration.h"
#include "registry/KeySnapshot.h"

namespace kstv {

class RegistrationSnapshot {
 public:
  // Reads it all before the road writes anything. A failure (a key, or an entry that
  // exists, that cannot be read) is the result: the road must not go on then.
  HRESULT take(ServiceModule& module);
  bool hadServiceEntry() const { return static_cast<bool>(entryConfig_); }

  // Puts back what the road changed: an entry it made goes, one it changed gets its old
  // configuration, the keys are as they were, and a service it stopped is started again.
  // Every step is tried; the user is told when one fails.
  void restore(ServiceModule& module, const ServiceEntryChanges& changes) const;

 private:
  HRESULT takeServiceEntry(ServiceModule& module);
  bool restoreServiceEntry(ServiceModule& module) const;

  KeySnapshot appId_;
  KeySnapshot executable_;
  KeySnapshot library_;
  KeySnapshot eventSource_;
  char libraryKeyName_[kTypeLibraryKeyNameCapacity] = {};
  // The entry's QUERY_SERVICE_CONFIGA, and its optional configuration where the platform
  // keeps it (empty where it does not, and it is then not put back).
  HeapBuffer entryConfig_;
  HeapBuffer description_;
  HeapBuffer recovery_;
  HeapBuffer recoveryFlag_;
  HeapBuffer sidType_;
  HeapBuffer privileges_;
};

}  // namespace kstv

// Process-wide locks: slim reader/writer locks set up with SRWLOCK_INIT, which need no
// destruction. A static lock of this kind stays usable while the process ends, when a
// service thread may still be on its way out after its last status report.
#pragma once

#include "platform/win32.h"

namespace kstv {

// Holds a lock exclusively for a scope.
class ExclusiveLock {
 public:
  explicit ExclusiveLock(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
  ~ExclusiveLock() { ReleaseSRWLockExclusive(&lock_); }
  ExclusiveLock(const ExclusiveLock&) = delete;
  ExclusiveLock& operator=(const ExclusiveLock&) = delete;

 private:
  SRWLOCK& lock_;
};

}  // namespace kstv

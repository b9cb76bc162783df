#include "platform/host/detail/kernel_handles.h"

#include "platform/host/control.h"
#include "platform/host/detail/failures.h"

namespace kstv::host {
namespace detail {

KernelHandles& KernelHandles::instance() {
  // Never destroyed: a card monitor's handler may still be probing a volume while the
  // process ends, as Windows keeps its own state until the process is gone.
  static KernelHandles* const handles = new KernelHandles;
  return *handles;
}

HANDLE KernelHandles::add(std::shared_ptr<KernelObject> object) {
  std::lock_guard guard(lock_);
  ULONG_PTR value = next_;
  next_ += 4;
  objects_.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

bool KernelHandles::close(HANDLE handle) {
  std::shared_ptr<KernelObject> closing;  // destroyed outside the lock
  std::lock_guard guard(lock_);
  auto found = objects_.find(reinterpret_cast<ULONG_PTR>(handle));
  if (found == objects_.end()) return false;
  closing = std::move(found->second);
  objects_.erase(found);
  return true;
}

std::size_t KernelHandles::count() {
  std::lock_guard guard(lock_);
  return objects_.size();
}

}  // namespace detail

std::size_t openKernelHandleCount() { return detail::KernelHandles::instance().count(); }

}  // namespace kstv::host

BOOL WINAPI CloseHandle(HANDLE handle) {
  if (auto code = kstv::host::detail::injectedFailure("CloseHandle")) {
    SetLastError(*code);
    return FALSE;
  }
  if (!kstv::host::detail::KernelHandles::instance().close(handle)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

// Host build, internal: the process's kernel handles (volumes now; files, tokens and
// threads as the system comes to need them). A handle value is never reused.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>

#include "platform/win32.h"

namespace kstv::host::detail {

struct KernelObject {
  virtual ~KernelObject() = default;
};

class KernelHandles {
 public:
  static KernelHandles& instance();

  HANDLE add(std::shared_ptr<KernelObject> object);
  bool close(HANDLE handle);
  std::size_t count();

  template <typename Object>
  std::shared_ptr<Object> find(HANDLE handle) {
    std::lock_guard guard(lock_);
    auto found = objects_.find(reinterpret_cast<ULONG_PTR>(handle));
    return found == objects_.end() ? nullptr : std::dynamic_pointer_cast<Object>(found->second);
  }

 private:
  std::mutex lock_;
  std::map<ULONG_PTR, std::shared_ptr<KernelObject>> objects_;
  ULONG_PTR next_ = 0x100;
};

}  // namespace kstv::host::detail

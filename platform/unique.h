// One owner for every kind of handle: a move-only holder over a raw handle and the call
// that releases it. Ownership is taken where the handle is made, through put().
#pragma once

#include <utility>

namespace kstv {

// The "holds nothing" value of most handles: null.
template <typename Handle>
struct NullHandle {
  static constexpr Handle value() { return Handle{}; }
};

// Invalid::value() is the "holds nothing" value: NullHandle for most handles; files
// use INVALID_HANDLE_VALUE, which is not a constant expression.
template <typename Handle, auto Release, typename Invalid = NullHandle<Handle>>
class Unique {
 public:
  Unique() = default;
  explicit Unique(Handle handle) noexcept : handle_(handle) {}
  ~Unique() { reset(); }

  Unique(const Unique&) = delete;
  Unique& operator=(const Unique&) = delete;
  Unique(Unique&& other) noexcept : handle_(other.release()) {}
  Unique& operator=(Unique&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  Handle get() const noexcept { return handle_; }
  explicit operator bool() const noexcept { return handle_ != Invalid::value(); }

  // Releases what is held and hands out the slot for a call that fills it.
  Handle* put() noexcept {
    reset();
    return &handle_;
  }
  Handle release() noexcept { return std::exchange(handle_, Invalid::value()); }
  void reset(Handle handle = Invalid::value()) noexcept {
    Handle old = std::exchange(handle_, handle);
    if (old != Invalid::value()) Release(old);
  }

 private:
  Handle handle_ = Invalid::value();
};

}  // namespace kstv

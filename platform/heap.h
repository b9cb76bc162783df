// A buffer from the process heap (the plain heap), freed when it goes.
#pragma once

#include <cstddef>

#include "platform/win32.h"

namespace kstv {

class HeapBuffer {
 public:
  HeapBuffer() = default;
  explicit HeapBuffer(std::size_t bytes, DWORD flags = 0)
      : data_(static_cast<char*>(HeapAlloc(GetProcessHeap(), flags, bytes))) {}
  ~HeapBuffer() {
    if (data_) HeapFree(GetProcessHeap(), 0, data_);
  }
  HeapBuffer(const HeapBuffer&) = delete;
  HeapBuffer& operator=(const HeapBuffer&) = delete;
  HeapBuffer(HeapBuffer&& other) noexcept : data_(other.data_) { other.data_ = nullptr; }
  HeapBuffer& operator=(HeapBuffer&& other) noexcept {
    if (this != &other) {
      if (data_) HeapFree(GetProcessHeap(), 0, data_);
      data_ = other.data_;
      other.data_ = nullptr;
    }
    return *this;
  }

  explicit operator bool() const { return data_ != nullptr; }
  char* get() const { return data_; }

 private:
  char* data_ = nullptr;
};

}  // namespace kstv

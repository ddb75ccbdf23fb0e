// Large zero-filled tables whose memory the system provides as they are written.
#pragma once

#include <cstddef>
#include <new>
#include <utility>

#include "pelnor/bpe/table_memory.h"

namespace pelnor {

// A zero-filled large table (2 MiB pages where offered) whose pages the system maps lazily: a
// cache that is filled over time costs no memory up front, and filling it costs one page fault
// per 2 MiB instead of 512.
template <class T>
class ZeroedArray {
 public:
  ZeroedArray() = default;
  explicit ZeroedArray(std::size_t size) : size_(size) {
    if (size > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    data_ = static_cast<T*>(map_large_table(bytes()));
    if (data_ == nullptr && size != 0) throw std::bad_alloc();
  }
  ZeroedArray(ZeroedArray&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  ZeroedArray& operator=(ZeroedArray&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    return *this;
  }
  ~ZeroedArray() {
    if (data_ != nullptr) unmap_large_table(data_, bytes());
  }

  bool empty() const { return size_ == 0; }
  std::size_t size() const { return size_; }
  T& operator[](std::size_t i) const { return data_[i]; }

 private:
  std::size_t bytes() const { return size_ * sizeof(T); }

  T* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace pelnor

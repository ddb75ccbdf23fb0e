// Growable arrays whose new room is left unset: the id vector, the engine's only output sink, and
// the byte vector that decode fills.
#pragma once

#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "pelnor/types.h"

namespace pelnor {

// A growable array of trivially copyable values. Unlike std::vector it neither zero-fills its
// room nor bounds writes to its size: a loop may store a fixed-width block past the end, inside
// the capacity, and then count only the values that belong (a cached entry's four id slots, a
// token's bytes copied as 16).
template <class T>
class RawVector {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  RawVector() = default;
  explicit RawVector(std::size_t capacity) { reserve(capacity); }
  RawVector(const RawVector&) = delete;
  RawVector& operator=(const RawVector&) = delete;
  RawVector(RawVector&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  RawVector& operator=(RawVector&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
    return *this;
  }
  ~RawVector() { std::free(data_); }

  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  T* data() { return data_; }
  const T* data() const { return data_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }
  T operator[](std::size_t i) const { return data_[i]; }

  // Grows the capacity to at least `capacity` values.
  void reserve(std::size_t capacity) {
    if (capacity <= capacity_) return;
    if (capacity > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    void* grown = std::realloc(data_, capacity * sizeof(T));
    if (grown == nullptr) throw std::bad_alloc();
    data_ = static_cast<T*>(grown);
    capacity_ = capacity;
  }

  // Ensures room for `count` more values, growing geometrically.
  void reserve_more(std::size_t count) {
    if (capacity_ - size_ >= count) return;
    reserve(std::max(size_ + count, capacity_ + capacity_ / 2 + 8));
  }

  void push_back(T value) {
    if (size_ == capacity_) reserve_more(1);
    data_[size_++] = value;
  }

  void append(const T* values, std::size_t count) {
    reserve_more(count);
    if (count != 0) std::memcpy(data_ + size_, values, count * sizeof(T));
    size_ += count;
  }

  // Writes four slots at the end and keeps the first `count` of them.
  void append_four(const void* four, std::size_t count) {
    reserve_more(4);
    std::memcpy(data_ + size_, four, 4 * sizeof(T));
    size_ += count;
  }

  // Counts `count` values written past the end, inside the capacity.
  void commit(std::size_t count) {
    assert(count <= capacity_ - size_);
    size_ += count;
  }

  // Shrinks to `size` values; the capacity stays.
  void truncate(std::size_t size) {
    if (size < size_) size_ = size;
  }
  void clear() { size_ = 0; }

 private:
  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

using IdVector = RawVector<TokenId>;
using ByteVector = RawVector<char>;

}  // namespace pelnor

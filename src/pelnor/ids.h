// The id vector: the engine's only output sink.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "types.h"

namespace pelnor {

// A growable array of token ids. Unlike std::vector it lets the encode loop write a cached
// entry's four id slots in one store past the end, inside the capacity, and then count only the
// ids that belong.
class IdVector {
 public:
  IdVector() = default;
  explicit IdVector(std::size_t capacity) { reserve(capacity); }
  IdVector(const IdVector&) = delete;
  IdVector& operator=(const IdVector&) = delete;
  IdVector(IdVector&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  IdVector& operator=(IdVector&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
    return *this;
  }
  ~IdVector() { std::free(data_); }

  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  TokenId* data() { return data_; }
  const TokenId* data() const { return data_; }
  const TokenId* begin() const { return data_; }
  const TokenId* end() const { return data_ + size_; }
  TokenId operator[](std::size_t i) const { return data_[i]; }

  // Grows the capacity to at least `capacity` ids.
  void reserve(std::size_t capacity) {
    if (capacity <= capacity_) return;
    if (capacity > static_cast<std::size_t>(-1) / sizeof(TokenId)) throw std::bad_alloc();
    void* grown = std::realloc(data_, capacity * sizeof(TokenId));
    if (grown == nullptr) throw std::bad_alloc();
    data_ = static_cast<TokenId*>(grown);
    capacity_ = capacity;
  }

  // Ensures room for `count` more ids, growing geometrically.
  void reserve_more(std::size_t count) {
    if (capacity_ - size_ >= count) return;
    reserve(std::max(size_ + count, capacity_ + capacity_ / 2 + 8));
  }

  void push_back(TokenId id) {
    if (size_ == capacity_) reserve_more(1);
    data_[size_++] = id;
  }

  void append(const TokenId* ids, std::size_t count) {
    reserve_more(count);
    if (count != 0) std::memcpy(data_ + size_, ids, count * sizeof(TokenId));
    size_ += count;
  }

  // Writes four id slots (16 bytes) at the end and keeps the first `count` of them.
  void append_four(const void* four_ids, std::size_t count) {
    reserve_more(4);
    std::memcpy(data_ + size_, four_ids, 4 * sizeof(TokenId));
    size_ += count;
  }

  // Shrinks to `size` ids; the capacity stays.
  void truncate(std::size_t size) {
    if (size < size_) size_ = size;
  }
  void clear() { size_ = 0; }

 private:
  TokenId* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace pelnor

// Memory for the large tables of a vocabulary.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

namespace pelnor {

// Tables from 1 MiB on are mapped in 2 MiB pages where the system offers them: building them
// then takes one page fault per 2 MiB instead of 512, and lookups into them seldom miss the
// address-translation cache. Smaller ones come from the ordinary heap.
inline constexpr std::size_t kLargeTableBytes = std::size_t{1} << 20;

// Zero-filled memory of at least `bytes` (kLargeTableBytes or more), or nullptr.
void* map_large_table(std::size_t bytes);
void unmap_large_table(void* memory, std::size_t bytes);

template <class T>
struct TableAllocator {
  using value_type = T;

  TableAllocator() = default;
  template <class U>
  TableAllocator(const TableAllocator<U>&) {}

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kLargeTableBytes) return static_cast<T*>(::operator new(bytes));
    void* memory = map_large_table(bytes);
    if (memory == nullptr) throw std::bad_alloc();
    return static_cast<T*>(memory);
  }

  void deallocate(T* p, std::size_t n) {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kLargeTableBytes) {
      ::operator delete(p);
    } else {
      unmap_large_table(p, bytes);
    }
  }

  template <class U>
  bool operator==(const TableAllocator<U>&) const {
    return true;
  }
};

template <class T>
using TableVector = std::vector<T, TableAllocator<T>>;

}  // namespace pelnor

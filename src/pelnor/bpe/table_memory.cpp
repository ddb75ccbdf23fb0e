#include "pelnor/bpe/table_memory.h"

#include <sys/mman.h>

#include <cstdint>

namespace pelnor {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

// The mapped length of a table: whole huge pages; 0 when that does not fit a size_t.
std::size_t mapped_length(std::size_t bytes) {
  if (bytes > static_cast<std::size_t>(-1) - 2 * kHugePage) return 0;
  return (bytes + kHugePage - 1) & ~(kHugePage - 1);
}

}  // namespace

void* map_large_table(std::size_t bytes) {
  const std::size_t length = mapped_length(bytes);
  if (length == 0) return nullptr;
  // One page more than needed, then the ends given back, so that the table starts on a huge
  // page boundary.
  void* mapped =
      mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(mapped);
  const std::uintptr_t table = (start + kHugePage - 1) & ~std::uintptr_t{kHugePage - 1};
  if (table != start) munmap(mapped, table - start);
  munmap(reinterpret_cast<void*>(table + length), kHugePage - (table - start));
#ifdef MADV_HUGEPAGE
  // Only a hint: where the system declines, the table still works on small pages.
  madvise(reinterpret_cast<void*>(table), length, MADV_HUGEPAGE);
#endif
  return reinterpret_cast<void*>(table);
}

void unmap_large_table(void* memory, std::size_t bytes) {
  munmap(memory, mapped_length(bytes));
}

}  // namespace pelnor

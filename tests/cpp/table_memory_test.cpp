// Large tables live in their own mappings, trimmed to huge-page boundaries.
#include "pelnor/bpe/table_memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <new>
#include <numeric>
#include <vector>

namespace pelnor {
namespace {

// Tables on both sides of the 1 MiB line and of whole 2 MiB pages: each starts zeroed, and
// writing all of them, freeing some and mapping more leaves every other table intact, which a
// wrongly trimmed mapping would not.
TEST(TableMemory, TablesKeepTheirContentWhileOthersComeAndGo) {
  const std::size_t sizes[] = {1000, (1u << 18) - 1, 1u << 18, (1u << 19) + 3, 1u << 20, 3u << 20};
  std::vector<TableVector<std::uint32_t>> tables;
  for (std::size_t size : sizes) {
    tables.emplace_back(size);
    EXPECT_EQ(std::accumulate(tables.back().begin(), tables.back().end(), std::uint64_t{0}), 0u);
    std::iota(tables.back().begin(), tables.back().end(), static_cast<std::uint32_t>(size));
  }
  tables[1] = TableVector<std::uint32_t>();
  tables[3] = TableVector<std::uint32_t>();
  TableVector<std::uint32_t> later(5u << 19, 7);
  later.push_back(8);
  for (std::size_t i : {0u, 2u, 4u, 5u}) {
    ASSERT_EQ(tables[i].size(), sizes[i]);
    for (std::size_t k = 0; k < sizes[i]; k += 4093) {
      ASSERT_EQ(tables[i][k], static_cast<std::uint32_t>(sizes[i] + k)) << i;
    }
    EXPECT_EQ(tables[i].back(), static_cast<std::uint32_t>(2 * sizes[i] - 1));
  }
  EXPECT_EQ(later.back(), 8u);
  EXPECT_EQ(later[5u << 18], 7u);
}

TEST(TableMemory, ImpossibleSizesAreAllocationFailures) {
  TableAllocator<std::uint64_t> allocator;
  EXPECT_THROW(allocator.allocate(std::numeric_limits<std::size_t>::max() / 4), std::bad_alloc);
  EXPECT_THROW(allocator.allocate(std::numeric_limits<std::size_t>::max() / 8 - 1), std::bad_alloc);
  EXPECT_EQ(map_large_table(std::numeric_limits<std::size_t>::max() - 1), nullptr);
}

}  // namespace
}  // namespace pelnor

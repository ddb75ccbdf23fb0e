// Sizing and probing shared by the vocabulary's open-addressing tables.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

namespace pelnor {

inline constexpr std::uint64_t kGoldenMultiplier = 0x9E3779B97F4A7C15ull;
inline constexpr unsigned kIntHashShift = 40;

// Returns the home slot bits of an integer key, for tables of up to 2^24 slots.
inline std::uint64_t int_home(std::uint64_t key) {
  return (key * kGoldenMultiplier) >> kIntHashShift;
}

// A load factor of at most 0.45: count / slots <= 9 / 20.
inline bool within_load(std::size_t count, std::size_t slots) {
  return count * 20 <= slots * 9;
}

inline std::size_t power_of_two_at_least(std::size_t n) {
  std::size_t p = 1;
  while (p < n) p <<= 1;
  return p;
}

inline unsigned log2_exact(std::size_t power) {
  unsigned bits = 0;
  while ((std::size_t{1} << bits) < power) ++bits;
  return bits;
}

// Returns the longest run of occupied (nonzero) slots, a run wrapping from the last slot to the
// first counting once.
inline std::size_t longest_run(std::span<const std::uint64_t> slots) {
  const std::size_t n = slots.size();
  std::size_t first_empty = 0;
  while (first_empty < n && slots[first_empty] != 0) ++first_empty;
  if (first_empty == n) return n;
  std::size_t longest = 0, run = 0;
  for (std::size_t k = 1; k <= n; ++k) {
    if (slots[(first_empty + k) % n] != 0) {
      longest = std::max(longest, ++run);
    } else {
      run = 0;
    }
  }
  return longest;
}

}  // namespace pelnor

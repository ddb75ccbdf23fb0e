// Which tokens may stand side by side in a BPE result: the pair table (which two tokens merge
// into which), the split table (which two tokens each token was merged from), the test built
// on both, and the caches of its verdicts.
#pragma once

#include <atomic>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "pelnor/bpe/open_addressing.h"
#include "pelnor/bpe/rank_index.h"
#include "pelnor/bpe/table_memory.h"
#include "pelnor/bpe/trie_tables.h"
#include "pelnor/bpe/vocab_file.h"
#include "pelnor/bpe/zeroed_array.h"
#include "pelnor/types.h"

namespace pelnor {

// Up to this many tokens the compatibility cache uses 16-bit slots, above it 32-bit ones.
inline constexpr std::uint32_t kNarrowPairCacheMaxTokens = 131072;

// The two tokens whose merge forms a token; (r, r) for a token not formed by a merge.
struct Split {
  TokenId left;
  TokenId right;
};

namespace packing {

// Pair slot: (key + 1) << 19 | merged rank (19 bits); key = left << 18 | right.
inline constexpr unsigned kPairKeyShift = 19;
inline constexpr std::uint64_t kPairRankMask = (1ull << kPairKeyShift) - 1;

}  // namespace packing

// Direct-mapped verdicts of the compatibility test in slots of type Slot (16 or 32 bits):
//   bit 0 the verdict | bits 1-15 the low bits of the mixed pair | top bit set (occupied)
// The slot index and those bits together hold all of the mixed pair, so a hit is exact. Slots
// are written by many threads at once with relaxed atomic stores through a const cache.
template <class Slot>
class CompatCache {
 public:
  CompatCache() = default;
  // Allocates the slots, whose memory the system provides as they are written.
  static CompatCache allocated() {
    CompatCache cache;
    cache.slots_ = ZeroedArray<Slot>(std::size_t{1} << kIndexBits);
    return cache;
  }

  bool empty() const { return slots_.empty(); }
  std::size_t memory_bytes() const { return sizeof(Slot) * slots_.size(); }

  void prefetch(TokenId a, TokenId b) const {
    __builtin_prefetch(&slots_[mix(a, b) >> kIndexShift]);
  }

  // Returns the cached verdict of (a, b), or computes it with compute() and caches it.
  template <class Compute>
  bool verdict(TokenId a, TokenId b, Compute compute) const {
    const std::uint64_t x = mix(a, b);
    const auto tag = static_cast<Slot>(((x << 1) & 0xFFFF) | kOccupied);
    std::atomic_ref<Slot> slot(slots_[x >> kIndexShift]);
    const Slot seen = slot.load(std::memory_order_relaxed);
    if ((seen & ~1u) == tag) return (seen & 1u) != 0;
    const bool verdict = compute();
    slot.store(static_cast<Slot>(tag | verdict), std::memory_order_relaxed);
    return verdict;
  }

 private:
  static constexpr bool kWide = sizeof(Slot) == 4;
  // The pair is mixed in 2 * kHalfBits bits, of which the top kIndexBits index the slot.
  static constexpr unsigned kHalfBits = kWide ? 18 : 17;
  static constexpr std::uint64_t kMultiplier = kWide ? 0x97F4A7C15ull : 0x17F4A7C15ull;
  static constexpr unsigned kIndexBits = kWide ? 21 : 20;
  static constexpr unsigned kIndexShift = 2 * kHalfBits - kIndexBits;
  static constexpr Slot kOccupied = Slot{1} << (8 * sizeof(Slot) - 1);

  static std::uint64_t mix(TokenId a, TokenId b) {
    const std::uint64_t k =
        (b | std::uint64_t{a} << kHalfBits) ^ (a | std::uint64_t{b} >> kHalfBits);
    const std::uint64_t x = (k * kMultiplier) & ((1ull << (2 * kHalfBits)) - 1);
    return x ^ (x >> kHalfBits);
  }

  ZeroedArray<Slot> slots_;
};

// The (prefix, suffix) pairs of tokens of lower rank that could be the split of each rank in
// a range, longest prefix first: pairs[starts[i], starts[i + 1]) for rank begin + i.
struct SplitCandidates {
  TableVector<Split> pairs;
  std::vector<std::uint32_t> starts;
};

// Returns the split candidates of the ranks in [begin, end). Only lookups in finished tables, so
// halves of the ranks can go to two threads, and the lookups of one token do not wait on one
// another as they would between the verdicts of Compatibility::build.
SplitCandidates split_candidates(const TokenStrings& tokens, const RankIndex& ranks,
                                 const TrieTables& trie, TokenId begin, TokenId end);

class Compatibility {
 public:
  // Builds the split and pair tables: each token's split is its first candidate whose halves
  // merge into it; ranks below `middle` take their candidates from `low`, the others from
  // `high`. Returns whether every token longer than one byte, gaps' placeholders aside, is
  // formed by merging two tokens of lower rank.
  bool build(const TokenStrings& tokens, TokenId middle, const SplitCandidates& low,
             const SplitCandidates& high);

  // Returns the pair whose merge forms token rank.
  Split split(TokenId rank) const { return split_table_[rank]; }
  // Returns whether token a followed by token b can stand side by side in a BPE result.
  bool is_compatible(TokenId a, TokenId b) const;
  // Starts loading the cache slot of (a, b), for a caller with other work to do before it asks
  // is_compatible(a, b).
  void prefetch(TokenId a, TokenId b) const;
  bool uses_wide_cache() const { return !cache32_.empty(); }
  std::size_t memory_bytes() const;

 private:
  TokenId find_pair(TokenId left, TokenId right) const;
  void store_pair(TokenId left, TokenId right, TokenId merged);
  bool compute_compatible(TokenId a, TokenId b) const;

  TableVector<Split> split_table_;
  TableVector<std::uint64_t> pair_table_;
  std::uint64_t pair_mask_ = 0;
  // Only one width is allocated.
  CompatCache<std::uint16_t> cache16_;
  CompatCache<std::uint32_t> cache32_;
};

inline TokenId Compatibility::find_pair(TokenId left, TokenId right) const {
  assert(left < split_table_.size() && right < split_table_.size());
  using namespace packing;
  const std::uint64_t key = std::uint64_t{left} << 18 | right;
  for (std::uint64_t i = int_home(key) & pair_mask_;; i = (i + 1) & pair_mask_) {
    const std::uint64_t slot = pair_table_[i];
    if (slot == 0) return NONE_RANK;
    if ((slot & ~kPairRankMask) == (key + 1) << kPairKeyShift) {
      return static_cast<TokenId>(slot & kPairRankMask);
    }
  }
}

inline void Compatibility::prefetch(TokenId a, TokenId b) const {
  if (!cache32_.empty()) {
    cache32_.prefetch(a, b);
  } else {
    cache16_.prefetch(a, b);
  }
}

inline bool Compatibility::is_compatible(TokenId a, TokenId b) const {
  const auto compute = [&] { return compute_compatible(a, b); };
  if (!cache32_.empty()) return cache32_.verdict(a, b, compute);
  return cache16_.verdict(a, b, compute);
}

}  // namespace pelnor

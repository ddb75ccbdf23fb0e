// The trie of the tokens' byte strings and the packed tables the merge walks it by: a direct
// step for the first two and three bytes, then two bytes a probe (e2) and a last odd byte (tail).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "pelnor/bpe/open_addressing.h"
#include "pelnor/bpe/table_memory.h"
#include "pelnor/types.h"

namespace pelnor {

// Node numbers are 20 bits wide in the packed e2 slots.
inline constexpr std::uint32_t kMaxTrieNodes = 1u << 20;

// A trie edge of two bytes: the node reached and the longest token ending on the way there.
struct E2Edge {
  std::uint32_t child;
  TokenId rank;  // NONE_RANK when neither the child nor its parent is a token
};

// ---- Packed slot layouts, shared by the builder and the lookups -----------------------------

namespace packing {

inline constexpr std::uint32_t kRank18None = 0x3FFFF;
inline constexpr std::uint64_t kRank18Mask = 0x3FFFF;

// e2 slot: bit 63 occupied | bits 38-62 fingerprint (low 25 bits of the mixed key)
//          | bits 18-37 child node | bits 0-17 rank (kRank18None for none).
inline constexpr unsigned kE2FingerprintShift = 38;
inline constexpr std::uint64_t kE2FingerprintMask = (1ull << 25) - 1;
inline constexpr unsigned kE2ChildShift = 18;
inline constexpr std::uint64_t kE2ChildMask = (1ull << 20) - 1;
inline constexpr std::uint64_t kE2Occupied = 1ull << 63;
inline constexpr unsigned kE2KeyBits = 36;
inline constexpr std::uint64_t kE2KeyMask = (1ull << kE2KeyBits) - 1;
inline constexpr std::uint64_t kE2Multiplier = 0x97F4A7C15ull;

inline std::uint64_t e2_key(std::uint32_t node, std::uint8_t b1, std::uint8_t b2) {
  return std::uint64_t{node} << 16 | std::uint64_t{b1} << 8 | b2;
}
inline std::uint64_t e2_mix(std::uint64_t key) {
  std::uint64_t x = ((key ^ (key >> 18)) * kE2Multiplier) & kE2KeyMask;
  return x ^ (x >> 18);
}
inline std::uint64_t e2_tag(std::uint64_t mixed) {
  return kE2Occupied | (mixed & kE2FingerprintMask) << kE2FingerprintShift;
}
inline constexpr std::uint64_t kE2TagMask = ~((1ull << kE2FingerprintShift) - 1);

// Tail slot: (key + 1) << 19 | continues << 18 | rank (18 bits); key = node * 256 + byte.
inline constexpr unsigned kTailKeyShift = 19;
inline constexpr std::uint64_t kTailContinues = 1ull << 18;

}  // namespace packing

class TrieTables {
 public:
  // Returns whether every one-byte string is a token.
  bool has_every_byte() const { return has_every_byte_; }

  // Returns the depth-1 node of byte b, 0 if no token starts with b.
  std::uint32_t root_child(std::uint8_t b) const { return root_children_[b]; }
  // Returns the rank of the token spelled by node, NONE_RANK if that prefix is no token.
  TokenId node_rank(std::uint32_t node) const { return node_rank_[node]; }
  // Return the depth-2 node of b0 b1 (0 if none) and the longest token prefix of b0 b1.
  std::uint32_t prefix2_node(std::uint8_t b0, std::uint8_t b1) const {
    return prefix2_node_[b0 << 8 | b1];
  }
  TokenId prefix2_rank(std::uint8_t b0, std::uint8_t b1) const {
    return prefix2_rank_[b0 << 8 | b1];
  }
  // Return, for a three-byte UTF-8 form at p, the node after its first two bytes and the
  // longest token prefix of its three bytes.
  static std::uint32_t bmp3_index(const std::uint8_t* p) {
    return (p[0] & 0x0Fu) << 12 | (p[1] & 0x3Fu) << 6 | (p[2] & 0x3Fu);
  }
  std::uint32_t bmp3_node(std::uint32_t index) const { return bmp3_node_[index]; }
  TokenId bmp3_rank(std::uint32_t index) const { return bmp3_rank_[index]; }
  // Returns whether some token goes on past the three bytes: most CJK characters end every
  // token they start, and the walk can stop there without a probe.
  bool bmp3_continues(std::uint32_t index) const {
    return (bmp3_continues_[index / 64] >> (index % 64) & 1) != 0;
  }
  // Finds the two-byte edge (node, b1, b2); node must be at even depth of at least 2.
  bool find_e2(std::uint32_t node, std::uint8_t b1, std::uint8_t b2, E2Edge& edge) const;
  // Returns the rank of the odd-length token that ends with byte b after node, or NONE_RANK.
  TokenId find_tail(std::uint32_t node, std::uint8_t b) const;
  // Returns the rank of the longest token that is a proper prefix of token rank, or NONE_RANK.
  TokenId next_prefix(TokenId rank) const { return next_prefix_[rank]; }

  // Table shapes, for tests and benchmarks.
  std::uint32_t node_count() const { return static_cast<std::uint32_t>(node_rank_.size()); }
  std::size_t e2_slot_count() const { return e2_table_.size(); }
  std::size_t e2_longest_run() const;
  std::size_t memory_bytes() const;

 private:
  friend class TrieBuilder;

  bool has_every_byte_ = false;
  std::array<std::uint32_t, 256> root_children_{};
  TableVector<TokenId> node_rank_;
  std::vector<std::uint32_t> prefix2_node_;
  std::vector<TokenId> prefix2_rank_;
  std::vector<std::uint32_t> bmp3_node_;
  std::vector<TokenId> bmp3_rank_;
  std::vector<std::uint64_t> bmp3_continues_;
  TableVector<TokenId> next_prefix_;

  TableVector<std::uint64_t> e2_table_;
  std::uint64_t e2_mask_ = 0;
  unsigned e2_shift_ = 36;
  TableVector<std::uint64_t> tail_table_;
  std::uint64_t tail_mask_ = 0;
  // With 2^18 tokens every 18-bit value is a rank, so an e2 slot's "none" is ambiguous and
  // the rank is recovered from the trie instead.
  bool rank18_none_is_ambiguous_ = false;
};

inline bool TrieTables::find_e2(std::uint32_t node, std::uint8_t b1, std::uint8_t b2,
                                E2Edge& edge) const {
  using namespace packing;
  const std::uint64_t mixed = e2_mix(e2_key(node, b1, b2));
  const std::uint64_t tag = e2_tag(mixed);
  for (std::uint64_t i = mixed >> e2_shift_;; i = (i + 1) & e2_mask_) {
    const std::uint64_t slot = e2_table_[i];
    if (slot == 0) return false;
    if ((slot & kE2TagMask) != tag) continue;
    edge.child = static_cast<std::uint32_t>(slot >> kE2ChildShift & kE2ChildMask);
    const auto rank = static_cast<std::uint32_t>(slot & kRank18Mask);
    if (rank != kRank18None) {
      edge.rank = rank;
    } else if (!rank18_none_is_ambiguous_) {
      edge.rank = NONE_RANK;
    } else {
      // The child, then the odd-depth node between, is the token the slot would name.
      edge.rank =
          node_rank_[edge.child] != NONE_RANK ? node_rank_[edge.child] : find_tail(node, b1);
    }
    return true;
  }
}

inline TokenId TrieTables::find_tail(std::uint32_t node, std::uint8_t b) const {
  using namespace packing;
  const std::uint64_t key = std::uint64_t{node} << 8 | b;
  for (std::uint64_t i = int_home(key) & tail_mask_;; i = (i + 1) & tail_mask_) {
    const std::uint64_t slot = tail_table_[i];
    if (slot == 0) return NONE_RANK;
    if (slot >> kTailKeyShift == key + 1) return static_cast<TokenId>(slot & kRank18Mask);
  }
}

}  // namespace pelnor

// The base vocabulary of one encoding and the trie tables that the merge walks.
#pragma once

#include <array>
#include <atomic>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pelnor/bpe/piece_key.h"
#include "pelnor/bpe/zeroed_array.h"
#include "pelnor/result.h"
#include "pelnor/types.h"

namespace pelnor {

inline constexpr std::uint32_t kMaxTokenCount = 262144;
// The longest byte string a token may have.
inline constexpr std::size_t kMaxTokenBytes = 255;
// The largest vocab file: the count, then per token its length, bytes and rank.
inline constexpr std::size_t kMaxVocabFileBytes =
    4 + std::size_t{kMaxTokenCount} * (2 + kMaxTokenBytes + 4);
// Node numbers are 20 bits wide in the packed e2 slots.
inline constexpr std::uint32_t kMaxTrieNodes = 1u << 20;
// Up to this many tokens the compatibility cache uses 16-bit slots, above it 32-bit ones.
inline constexpr std::uint32_t kNarrowPairCacheMaxTokens = 131072;

// A trie edge of two bytes: the node reached and the longest token ending on the way there.
struct E2Edge {
  std::uint32_t child;
  TokenId rank;  // NONE_RANK when neither the child nor its parent is a token
};

// The two tokens whose merge forms a token; (r, r) for a token not formed by a merge.
struct Split {
  TokenId left;
  TokenId right;
};

// Tokens of up to this many bytes are found whole by whole_token().
inline constexpr std::size_t kMaxWholeTokenBytes = 13;

// A slot of the whole-token table (rest 0 = empty):
//   bytes0  bits 0-63   token bytes 0-7, little-endian, bytes past the token 0
//   rest    bits 0-39   token bytes 8-12; bits 40-43 length 1-13; bits 44-61 rank
struct WholeTokenSlot {
  std::uint64_t bytes0, rest;
};

// Returns whether token is the placeholder that holds gap `rank` of a rank table: 0xFF, a byte no
// other token has after 0xFF, then the rank in three bytes, big-endian. No UTF-8 text holds one,
// and the table that tiktoken builds has no such token, so no merge may form one.
inline bool is_gap_placeholder(Bytes token, TokenId rank) {
  return token.size() == 5 && token[0] == 0xFF &&
         (std::uint32_t{token[2]} << 16 | std::uint32_t{token[3]} << 8 | token[4]) == rank;
}

class Vocab {
 public:
  // Readable bytes past the last token's, so that short tokens can be copied as fixed-width blocks.
  static constexpr std::size_t kTokenBytesPadding = 16;

  // Parses a vocab file; label names the data in error messages.
  static Result<std::unique_ptr<Vocab>> parse(Bytes data, std::string_view label);

  Vocab(const Vocab&) = delete;
  Vocab& operator=(const Vocab&) = delete;

  // Returns the number of base tokens; ids below it are base tokens.
  std::uint32_t token_count() const { return token_count_; }
  // Returns the bytes of token rank, which must be below token_count().
  Bytes token_bytes(TokenId rank) const {
    assert(rank < token_count_);
    return Bytes(token_bytes_.data() + token_offsets_[rank],
                 token_offsets_[rank + 1] - token_offsets_[rank]);
  }
  // The token bytes as plain arrays (token rank's bytes run from offsets[rank] to
  // offsets[rank + 1]), for loops that store bytes: a byte store may alias any member, so such a
  // loop keeps these in locals.
  struct TokenArrays {
    const std::uint8_t* bytes;
    const std::uint32_t* offsets;
  };
  TokenArrays token_arrays() const { return {token_bytes_.data(), token_offsets_.data()}; }
  // Returns the byte length of token rank.
  std::uint8_t token_len(TokenId rank) const {
    assert(rank < token_count_);
    return token_lens_[rank];
  }
  // Returns the rank of the token whose bytes equal bytes, or NONE_RANK.
  TokenId rank_of(Bytes bytes) const;
  // Returns whether token rank is a gap's placeholder, which the merge tables leave out.
  bool is_gap(TokenId rank) const { return is_gap_placeholder(token_bytes(rank), rank); }
  // Returns whether every one-byte string is a token, as the merge's guarantees need.
  bool has_every_byte() const { return has_every_byte_; }
  // Returns whether every token longer than one byte, gaps' placeholders aside, is formed by
  // merging two tokens of lower rank, as the trie walk and the compatibility test need; other rank
  // tables are merged pair by pair.
  bool merges_pairwise() const { return merges_pairwise_; }
  // Returns the heap footprint of all tables, counting elements, not spare capacity.
  std::size_t memory_bytes() const;

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
  // Returns the pair whose merge forms token rank.
  Split split(TokenId rank) const { return split_table_[rank]; }
  // Returns whether token a followed by token b can stand side by side in a BPE result.
  bool is_compatible(TokenId a, TokenId b) const;
  // Starts loading the compatibility cache's slot of (a, b), for a caller with other work to do
  // before it asks is_compatible(a, b).
  void prefetch_compatible(TokenId a, TokenId b) const;
  // Returns the rank of the token whose bytes are exactly the piece of `key` (1 to
  // kMaxWholeTokenBytes bytes; `hash` = piece_hash(key)), or NONE_RANK: one probe where the
  // trie walk takes a probe per two bytes, and the probe can be prefetched.
  TokenId whole_token(PieceKey key, std::uint64_t hash) const;
  const void* whole_token_home(std::uint64_t hash) const {
    return &whole_tokens_[hash >> whole_token_shift_];
  }

  // Table shapes, for tests and benchmarks.
  std::uint32_t node_count() const { return static_cast<std::uint32_t>(node_rank_.size()); }
  std::size_t e2_slot_count() const { return e2_table_.size(); }
  std::size_t e2_longest_run() const;
  bool uses_wide_pair_cache() const { return !pair_cache32_.empty(); }

 private:
  Vocab() = default;
  class Builder;

  void build_whole_tokens();
  TokenId find_pair(TokenId left, TokenId right) const;
  bool compute_compatible(TokenId a, TokenId b) const;

  // Returns the rank_of slot where `bytes` is, or the empty slot where it would go.
  std::size_t rank_slot(Bytes bytes) const;

  std::uint32_t token_count_ = 0;
  bool has_every_byte_ = false;
  bool merges_pairwise_ = true;
  TableVector<std::uint8_t> token_bytes_;
  TableVector<std::uint32_t> token_offsets_;
  std::vector<std::uint8_t> token_lens_;
  // Open addressing over ranks (NONE_RANK = empty), keyed by the tokens' own bytes with a
  // randomly seeded hash, so no key is copied.
  TableVector<TokenId> rank_slots_;
  std::size_t rank_mask_ = 0;

  std::array<std::uint32_t, 256> root_children_{};
  TableVector<TokenId> node_rank_;
  std::vector<std::uint32_t> prefix2_node_;
  std::vector<TokenId> prefix2_rank_;
  std::vector<std::uint32_t> bmp3_node_;
  std::vector<TokenId> bmp3_rank_;
  std::vector<std::uint64_t> bmp3_continues_;
  TableVector<TokenId> next_prefix_;
  TableVector<Split> split_table_;

  // Open addressing over the tokens of up to kMaxWholeTokenBytes bytes, keyed by their bytes.
  TableVector<WholeTokenSlot> whole_tokens_;
  unsigned whole_token_shift_ = 64;

  TableVector<std::uint64_t> pair_table_;
  std::uint64_t pair_mask_ = 0;
  TableVector<std::uint64_t> e2_table_;
  std::uint64_t e2_mask_ = 0;
  unsigned e2_shift_ = 36;
  TableVector<std::uint64_t> tail_table_;
  std::uint64_t tail_mask_ = 0;
  // With 2^18 tokens every 18-bit value is a rank, so an e2 slot's "none" is ambiguous and
  // the rank is recovered from the trie instead.
  bool rank18_none_is_ambiguous_ = false;

  // Direct-mapped verdicts of is_compatible; only one width is allocated. Slots are written
  // by many threads at once with relaxed atomic stores through a const Vocab.
  ZeroedArray<std::uint16_t> pair_cache16_;
  ZeroedArray<std::uint32_t> pair_cache32_;
};

// ---- Packed slot layouts, shared by the builder and the lookups -----------------------------

namespace packing {

inline constexpr std::uint64_t kGoldenMultiplier = 0x9E3779B97F4A7C15ull;
inline constexpr unsigned kIntHashShift = 40;
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

// Pair slot: (key + 1) << 19 | merged rank (19 bits); key = left << 18 | right.
inline constexpr unsigned kPairKeyShift = 19;
inline constexpr std::uint64_t kPairRankMask = (1ull << kPairKeyShift) - 1;

inline std::uint64_t int_home(std::uint64_t key) {
  return (key * kGoldenMultiplier) >> kIntHashShift;
}

}  // namespace packing

inline bool Vocab::find_e2(std::uint32_t node, std::uint8_t b1, std::uint8_t b2,
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

namespace packing {
inline constexpr unsigned kWholeLengthShift = 40;
inline constexpr unsigned kWholeRankShift = 44;
inline constexpr std::uint64_t kWholeKeyMask = (1ull << kWholeRankShift) - 1;

// The key bits of a whole-token slot for a piece of at most kMaxWholeTokenBytes bytes.
inline std::uint64_t whole_token_rest_key(PieceKey key) {
  return (key.key1 & ((1ull << kWholeLengthShift) - 1)) | (key.key1 >> kKeyLengthShift)
                                                              << kWholeLengthShift;
}
}  // namespace packing

inline TokenId Vocab::whole_token(PieceKey key, std::uint64_t hash) const {
  using namespace packing;
  const std::uint64_t rest = whole_token_rest_key(key);
  const std::size_t mask = whole_tokens_.size() - 1;
  for (std::size_t i = hash >> whole_token_shift_;; i = (i + 1) & mask) {
    const WholeTokenSlot& slot = whole_tokens_[i];
    if (slot.rest == 0) return NONE_RANK;
    if (slot.bytes0 == key.key0 && (slot.rest & kWholeKeyMask) == rest) {
      return static_cast<TokenId>(slot.rest >> kWholeRankShift);
    }
  }
}

inline TokenId Vocab::find_tail(std::uint32_t node, std::uint8_t b) const {
  using namespace packing;
  const std::uint64_t key = std::uint64_t{node} << 8 | b;
  for (std::uint64_t i = int_home(key) & tail_mask_;; i = (i + 1) & tail_mask_) {
    const std::uint64_t slot = tail_table_[i];
    if (slot == 0) return NONE_RANK;
    if (slot >> kTailKeyShift == key + 1) return static_cast<TokenId>(slot & kRank18Mask);
  }
}

inline TokenId Vocab::find_pair(TokenId left, TokenId right) const {
  assert(left < token_count_ && right < token_count_);
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

namespace packing {
// Index and tag of the pair (a, b) in the 32-bit and in the 16-bit compatibility cache; together
// they hold all of the mixed pair, so a hit is exact.
inline std::uint64_t pair_cache32_mix(TokenId a, TokenId b) {
  const std::uint64_t k = (b | std::uint64_t{a} << 18) ^ (a | std::uint64_t{b} >> 18);
  const std::uint64_t x = (k * 0x97F4A7C15ull) & ((1ull << 36) - 1);
  return x ^ (x >> 18);
}
inline std::uint64_t pair_cache16_mix(TokenId a, TokenId b) {
  const std::uint64_t k = (b | std::uint64_t{a} << 17) ^ (a | std::uint64_t{b} >> 17);
  const std::uint64_t x = (k * 0x17F4A7C15ull) & ((1ull << 34) - 1);
  return x ^ (x >> 17);
}
}  // namespace packing

inline void Vocab::prefetch_compatible(TokenId a, TokenId b) const {
  if (!pair_cache32_.empty()) {
    __builtin_prefetch(&pair_cache32_[packing::pair_cache32_mix(a, b) >> 15]);
  } else {
    __builtin_prefetch(&pair_cache16_[packing::pair_cache16_mix(a, b) >> 14]);
  }
}

inline bool Vocab::is_compatible(TokenId a, TokenId b) const {
  if (!pair_cache32_.empty()) {
    const std::uint64_t x = packing::pair_cache32_mix(a, b);
    const auto tag = static_cast<std::uint32_t>(((x << 1) & 0xFFFF) | 0x80000000u);
    std::atomic_ref<std::uint32_t> slot(pair_cache32_[x >> 15]);
    const std::uint32_t seen = slot.load(std::memory_order_relaxed);
    if ((seen & ~1u) == tag) return (seen & 1u) != 0;
    const bool verdict = compute_compatible(a, b);
    slot.store(tag | verdict, std::memory_order_relaxed);
    return verdict;
  }
  const std::uint64_t x = packing::pair_cache16_mix(a, b);
  const auto tag = static_cast<std::uint16_t>(((x << 1) & 0xFFFF) | 0x8000u);
  std::atomic_ref<std::uint16_t> slot(pair_cache16_[x >> 14]);
  const std::uint16_t seen = slot.load(std::memory_order_relaxed);
  if ((seen & ~1u) == tag) return (seen & 1u) != 0;
  const bool verdict = compute_compatible(a, b);
  slot.store(static_cast<std::uint16_t>(tag | verdict), std::memory_order_relaxed);
  return verdict;
}

}  // namespace pelnor

// The table that finds a short token from its whole byte string in one probe.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pelnor/bpe/piece_key.h"
#include "pelnor/bpe/table_memory.h"
#include "pelnor/bpe/vocab_file.h"
#include "pelnor/types.h"

namespace pelnor {

// Tokens of up to this many bytes are found whole by WholeTokenTable::find().
inline constexpr std::size_t kMaxWholeTokenBytes = 13;

// A slot of the whole-token table (rest 0 = empty):
//   bytes0  bits 0-63   token bytes 0-7, little-endian, bytes past the token 0
//   rest    bits 0-39   token bytes 8-12; bits 40-43 length 1-13; bits 44-61 rank
struct WholeTokenSlot {
  std::uint64_t bytes0, rest;
};

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

// Open addressing over the tokens of up to kMaxWholeTokenBytes bytes, keyed by their bytes;
// gaps' placeholders are left out.
class WholeTokenTable {
 public:
  void build(const TokenStrings& tokens);

  // Returns the rank of the token whose bytes are exactly the piece of `key` (1 to
  // kMaxWholeTokenBytes bytes; `hash` = piece_hash(key)), or NONE_RANK.
  TokenId find(PieceKey key, std::uint64_t hash) const;
  // Returns the slot where the probe for `hash` starts, to prefetch.
  const void* home(std::uint64_t hash) const { return &slots_[hash >> shift_]; }
  std::size_t memory_bytes() const { return sizeof(WholeTokenSlot) * slots_.size(); }

 private:
  TableVector<WholeTokenSlot> slots_;
  unsigned shift_ = 64;
};

inline TokenId WholeTokenTable::find(PieceKey key, std::uint64_t hash) const {
  using namespace packing;
  const std::uint64_t rest = whole_token_rest_key(key);
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = hash >> shift_;; i = (i + 1) & mask) {
    const WholeTokenSlot& slot = slots_[i];
    if (slot.rest == 0) return NONE_RANK;
    if (slot.bytes0 == key.key0 && (slot.rest & kWholeKeyMask) == rest) {
      return static_cast<TokenId>(slot.rest >> kWholeRankShift);
    }
  }
}

}  // namespace pelnor

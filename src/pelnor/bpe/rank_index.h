// The rank of each token's byte string.
#pragma once

#include <cstddef>

#include "pelnor/bpe/table_memory.h"
#include "pelnor/bpe/vocab_file.h"
#include "pelnor/types.h"

namespace pelnor {

// Open addressing over ranks (NONE_RANK = empty), keyed by the tokens' own bytes with a randomly
// seeded hash, so no key is copied.
class RankIndex {
 public:
  // Indexes every token; returns false when a byte string repeats.
  bool build(const TokenStrings& tokens);
  // Returns the rank of the token whose bytes equal bytes, or NONE_RANK.
  TokenId find(Bytes bytes, const TokenStrings& tokens) const;
  std::size_t memory_bytes() const { return 4 * slots_.size(); }

 private:
  // Returns the slot where `bytes` is, or the empty slot where it would go.
  std::size_t slot(Bytes bytes, const TokenStrings& tokens) const;

  TableVector<TokenId> slots_;
  std::size_t mask_ = 0;
};

}  // namespace pelnor

#include "pelnor/bpe/whole_token.h"

#include <algorithm>

#include "pelnor/bpe/open_addressing.h"

namespace pelnor {

void WholeTokenTable::build(const TokenStrings& tokens) {
  using namespace packing;
  std::size_t short_tokens = 0;
  for (TokenId rank = 0; rank < tokens.count(); ++rank) {
    short_tokens += tokens.len(rank) <= kMaxWholeTokenBytes && !tokens.is_gap(rank);
  }
  // Up to 0.75 of the slots taken: four slots share a cache line, so a probe still reads about
  // one line, and the table costs the memory of a second rank index rather than four.
  const std::size_t slot_count =
      power_of_two_at_least(std::max<std::size_t>(short_tokens * 4 / 3, 2));
  slots_.assign(slot_count, WholeTokenSlot{0, 0});
  shift_ = 64 - log2_exact(slot_count);
  for (TokenId rank = 0; rank < tokens.count(); ++rank) {
    const Bytes token = tokens.bytes(rank);
    if (token.size() > kMaxWholeTokenBytes || tokens.is_gap(rank)) continue;
    const std::size_t left = tokens.total_bytes() - tokens.offset(rank);
    const PieceKey key = piece_key(token.data(), token.size(), left);
    std::size_t i = piece_hash(key) >> shift_;
    while (slots_[i].rest != 0) i = (i + 1) & (slot_count - 1);
    slots_[i] = {key.key0, whole_token_rest_key(key) | std::uint64_t{rank} << kWholeRankShift};
  }
}

}  // namespace pelnor

#include "pelnor/bpe/pair_compat.h"

namespace pelnor {

SplitCandidates split_candidates(const TokenStrings& tokens, const RankIndex& ranks,
                                 const TrieTables& trie, TokenId begin, TokenId end) {
  SplitCandidates out;
  // Byte-pair vocabularies have fewer than two candidates per token.
  out.pairs.reserve(2 * std::size_t{end - begin});
  out.starts.reserve(end - begin + 1);
  out.starts.push_back(0);
  for (TokenId n = begin; n < end; ++n) {
    const Bytes bytes = tokens.bytes(n);
    for (TokenId k = trie.next_prefix(n); k != NONE_RANK; k = trie.next_prefix(k)) {
      if (k >= n) continue;
      const TokenId r = ranks.find(bytes.subspan(tokens.len(k)), tokens);
      if (r != NONE_RANK && r < n && !tokens.is_gap(r)) out.pairs.push_back({k, r});
    }
    out.starts.push_back(static_cast<std::uint32_t>(out.pairs.size()));
  }
  return out;
}

bool Compatibility::build(const TokenStrings& tokens, TokenId middle, const SplitCandidates& low,
                          const SplitCandidates& high) {
  const TokenId count = tokens.count();
  const std::size_t pair_slots = power_of_two_at_least(2 * std::size_t{count});
  pair_table_.assign(pair_slots, 0);
  pair_mask_ = pair_slots - 1;
  if (count > kNarrowPairCacheMaxTokens) {
    cache32_ = CompatCache<std::uint32_t>::allocated();
  } else {
    cache16_ = CompatCache<std::uint16_t>::allocated();
  }
  bool merges_pairwise = true;
  split_table_.resize(count);
  for (TokenId n = 0; n < count; ++n) {
    split_table_[n] = {n, n};
    const SplitCandidates& range = n < middle ? low : high;
    const std::size_t i = n < middle ? n : n - middle;
    for (std::uint32_t c = range.starts[i]; c < range.starts[i + 1]; ++c) {
      const Split candidate = range.pairs[c];
      // The verdict is computed directly: caching it now would only store entries made
      // against an incomplete pair table, so the cache stays empty until encoding fills it.
      if (!compute_compatible(candidate.left, candidate.right)) continue;
      split_table_[n] = candidate;
      store_pair(candidate.left, candidate.right, n);
      break;
    }
    // A longer token that no merge of two lower-ranked tokens forms is beyond the trie walk;
    // a gap's placeholder is no token of the encoding, and no walk finds it.
    if (tokens.len(n) > 1 && split_table_[n].left == n && !tokens.is_gap(n)) {
      merges_pairwise = false;
    }
  }
  return merges_pairwise;
}

void Compatibility::store_pair(TokenId left, TokenId right, TokenId merged) {
  using namespace packing;
  const std::uint64_t key = std::uint64_t{left} << 18 | right;
  std::uint64_t i = int_home(key) & pair_mask_;
  while (pair_table_[i] != 0 && pair_table_[i] >> kPairKeyShift != key + 1) {
    i = (i + 1) & pair_mask_;
  }
  pair_table_[i] = (key + 1) << kPairKeyShift | merged;
}

bool Compatibility::compute_compatible(TokenId a, TokenId b) const {
  std::uint32_t limit = 0xFFFFFFFF;
  for (;;) {
    const TokenId merged = find_pair(a, b);
    if (merged != NONE_RANK && merged < limit) return false;
    limit = b + 1;
    if (b < a) {
      if (split_table_[a].right == a) {
        if (split_table_[b].left == b) return true;
        b = split_table_[b].left;
      } else {
        limit = a;
        a = split_table_[a].right;
      }
    } else if (split_table_[b].left != b) {
      b = split_table_[b].left;
    } else if (split_table_[a].right == a) {
      return true;
    } else {
      limit = a;
      a = split_table_[a].right;
    }
  }
}

std::size_t Compatibility::memory_bytes() const {
  return sizeof(Split) * split_table_.size() + 8 * pair_table_.size() + cache16_.memory_bytes() +
         cache32_.memory_bytes();
}

}  // namespace pelnor

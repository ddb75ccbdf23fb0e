// The base vocabulary of one encoding: its tokens' byte strings and every table built from them
// that the merge reads, behind one face.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "pelnor/bpe/pair_compat.h"
#include "pelnor/bpe/piece_key.h"
#include "pelnor/bpe/rank_index.h"
#include "pelnor/bpe/trie_tables.h"
#include "pelnor/bpe/vocab_file.h"
#include "pelnor/bpe/whole_token.h"
#include "pelnor/result.h"
#include "pelnor/types.h"

namespace pelnor {

class Vocab {
 public:
  // Parses a vocab file and builds the tables; label names the data in error messages.
  static Result<std::unique_ptr<Vocab>> parse(Bytes data, std::string_view label);

  Vocab(const Vocab&) = delete;
  Vocab& operator=(const Vocab&) = delete;

  // The tokens (vocab_file.h): ids below token_count() are base tokens.
  std::uint32_t token_count() const { return tokens_.count(); }
  Bytes token_bytes(TokenId rank) const { return tokens_.bytes(rank); }
  TokenArrays token_arrays() const { return tokens_.arrays(); }
  std::uint8_t token_len(TokenId rank) const { return tokens_.len(rank); }
  const TokenStrings& tokens() const { return tokens_; }
  // Returns whether token rank is a gap's placeholder, which the merge tables leave out.
  bool is_gap(TokenId rank) const { return tokens_.is_gap(rank); }
  // Returns the rank of the token whose bytes equal bytes, or NONE_RANK.
  TokenId rank_of(Bytes bytes) const { return ranks_.find(bytes, tokens_); }

  // Returns whether every one-byte string is a token, as the merge's guarantees need.
  bool has_every_byte() const { return trie_.has_every_byte(); }
  // Returns whether every token longer than one byte, gaps' placeholders aside, is formed by
  // merging two tokens of lower rank, as the trie walk and the compatibility test need; other rank
  // tables are merged pair by pair.
  bool merges_pairwise() const { return merges_pairwise_; }
  // Returns the heap footprint of all tables, counting elements, not spare capacity.
  std::size_t memory_bytes() const;

  // The trie walk (trie_tables.h).
  std::uint32_t root_child(std::uint8_t b) const { return trie_.root_child(b); }
  TokenId node_rank(std::uint32_t node) const { return trie_.node_rank(node); }
  std::uint32_t prefix2_node(std::uint8_t b0, std::uint8_t b1) const {
    return trie_.prefix2_node(b0, b1);
  }
  TokenId prefix2_rank(std::uint8_t b0, std::uint8_t b1) const {
    return trie_.prefix2_rank(b0, b1);
  }
  static std::uint32_t bmp3_index(const std::uint8_t* p) { return TrieTables::bmp3_index(p); }
  std::uint32_t bmp3_node(std::uint32_t index) const { return trie_.bmp3_node(index); }
  TokenId bmp3_rank(std::uint32_t index) const { return trie_.bmp3_rank(index); }
  bool bmp3_continues(std::uint32_t index) const { return trie_.bmp3_continues(index); }
  bool find_e2(std::uint32_t node, std::uint8_t b1, std::uint8_t b2, E2Edge& edge) const {
    return trie_.find_e2(node, b1, b2, edge);
  }
  TokenId find_tail(std::uint32_t node, std::uint8_t b) const { return trie_.find_tail(node, b); }
  TokenId next_prefix(TokenId rank) const { return trie_.next_prefix(rank); }

  // The compatibility test (compat.h).
  Split split(TokenId rank) const { return compat_.split(rank); }
  bool is_compatible(TokenId a, TokenId b) const { return compat_.is_compatible(a, b); }
  void prefetch_compatible(TokenId a, TokenId b) const { compat_.prefetch(a, b); }

  // The whole-token table (whole_token.h).
  TokenId whole_token(PieceKey key, std::uint64_t hash) const {
    return whole_tokens_.find(key, hash);
  }
  const void* whole_token_home(std::uint64_t hash) const { return whole_tokens_.home(hash); }

  // Table shapes, for tests and benchmarks.
  std::uint32_t node_count() const { return trie_.node_count(); }
  std::size_t e2_slot_count() const { return trie_.e2_slot_count(); }
  std::size_t e2_longest_run() const { return trie_.e2_longest_run(); }
  bool uses_wide_pair_cache() const { return compat_.uses_wide_cache(); }

 private:
  Vocab() = default;

  TokenStrings tokens_;
  RankIndex ranks_;
  TrieTables trie_;
  Compatibility compat_;
  WholeTokenTable whole_tokens_;
  bool merges_pairwise_ = true;
};

}  // namespace pelnor

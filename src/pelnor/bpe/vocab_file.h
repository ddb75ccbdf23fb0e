// The vocab file: its format's limits, its parser, and the token byte strings it holds.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "pelnor/bpe/table_memory.h"
#include "pelnor/result.h"
#include "pelnor/types.h"

namespace pelnor {

inline constexpr std::uint32_t kMaxTokenCount = 262144;
// The longest byte string a token may have.
inline constexpr std::size_t kMaxTokenBytes = 255;
// The largest vocab file: the count, then per token its length, bytes and rank.
inline constexpr std::size_t kMaxVocabFileBytes =
    4 + std::size_t{kMaxTokenCount} * (2 + kMaxTokenBytes + 4);
// Readable bytes past the last token's, so that short tokens can be copied as fixed-width blocks.
inline constexpr std::size_t kTokenBytesPadding = 16;

// Returns whether token is the placeholder that holds gap `rank` of a rank table: 0xFF, a byte no
// other token has after 0xFF, then the rank in three bytes, big-endian. No UTF-8 text holds one,
// and the table that tiktoken builds has no such token, so no merge may form one.
inline bool is_gap_placeholder(Bytes token, TokenId rank) {
  return token.size() == 5 && token[0] == 0xFF &&
         (std::uint32_t{token[2]} << 16 | std::uint32_t{token[3]} << 8 | token[4]) == rank;
}

// The token bytes as plain arrays (token rank's bytes run from offsets[rank] to
// offsets[rank + 1]), for loops that store bytes: a byte store may alias any member, so such a
// loop keeps these in locals.
struct TokenArrays {
  const std::uint8_t* bytes;
  const std::uint32_t* offsets;
};

// The byte strings of a vocabulary's tokens, by rank, followed by kTokenBytesPadding bytes.
class TokenStrings {
 public:
  // Returns the number of tokens.
  std::uint32_t count() const { return count_; }
  // Returns the bytes of token rank, which must be below count().
  Bytes bytes(TokenId rank) const {
    assert(rank < count_);
    return Bytes(bytes_.data() + offsets_[rank], offsets_[rank + 1] - offsets_[rank]);
  }
  // Returns the byte length of token rank.
  std::uint8_t len(TokenId rank) const {
    assert(rank < count_);
    return lens_[rank];
  }
  // Returns where token rank's bytes start among all tokens' bytes.
  std::uint32_t offset(TokenId rank) const { return offsets_[rank]; }
  // Returns the bytes of all tokens, padding included.
  std::size_t total_bytes() const { return bytes_.size(); }
  TokenArrays arrays() const { return {bytes_.data(), offsets_.data()}; }
  // Returns whether token rank is a gap's placeholder.
  bool is_gap(TokenId rank) const { return is_gap_placeholder(bytes(rank), rank); }
  std::size_t memory_bytes() const { return bytes_.size() + 4 * offsets_.size() + lens_.size(); }

 private:
  friend Result<TokenStrings> read_vocab_file(Bytes data, std::string_view label);

  std::uint32_t count_ = 0;
  TableVector<std::uint8_t> bytes_;
  TableVector<std::uint32_t> offsets_;
  std::vector<std::uint8_t> lens_;
};

// Reads the tokens of a vocab file; label names the data in error messages.
Result<TokenStrings> read_vocab_file(Bytes data, std::string_view label);

// The vocab file of the tokens, in rank order: what read_vocab_file reads back into them.
std::vector<std::uint8_t> write_vocab_file(const TokenStrings& tokens);

// The failure of a malformed vocab file, for the reason given.
Error bad_vocab(std::string_view reason, std::string_view label);

}  // namespace pelnor

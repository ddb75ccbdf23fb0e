// Encoding text with no regard for special tokens: the encode loop, and the calls built on it
// (counting, truncation, offsets).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "pelnor/engine/tokenizer.h"
#include "pelnor/ids.h"
#include "pelnor/types.h"

namespace pelnor {

// Returns the capacity estimate of a text of `bytes` bytes: about one id per three bytes.
inline std::size_t estimated_ids(std::size_t bytes) {
  return bytes / 3 + 8;
}

// Appends the ids of text, encoded with no regard for special tokens. The parallelism hint is
// the number of threads encoding at once for this call; it only sizes a new piece cache.
void encode_into(const Tokenizer& tokenizer, Bytes text, IdVector& out, unsigned hint);

// Calls on_piece(start, length) for each piece the pre-tokenizer cuts text into, in order.
void for_each_piece(const Tokenizer& tokenizer, Bytes text,
                    const std::function<void(std::size_t, std::size_t)>& on_piece);

// Returns the ids of text, with no regard for special tokens.
IdVector encode_ordinary(const Tokenizer& tokenizer, Bytes text);

// encode_into, returning where the ids of text's last piece begin in out (out's size before,
// where text has no piece).
std::size_t encode_into_last_piece(const Tokenizer& tokenizer, Bytes text, IdVector& out);

// Returns where the ids that more text after them could change begin, as tiktoken reckons
// them: those of the last piece, which begins at ids[last_piece], and where its first token is
// spaces, tabs and line feeds alone, the tokens of such before it.
std::size_t unstable_start(const Vocab& vocab, const IdVector& ids, std::size_t last_piece);

// Returns the ids of piece merged as one piece (the token it is, if it is one).
IdVector encode_single_piece(const Vocab& vocab, Bytes piece);

// Returns the ids of bytes as tiktoken encodes a byte string: UTF-8 as the text it spells;
// otherwise the longest UTF-8 prefix as text, but for its last piece, which is merged as one
// piece together with every byte after the prefix (and, where the piece starts with a token of
// spaces, tabs and line feeds, with the tokens of such before it).
IdVector encode_bytes_merged_tail(const Tokenizer& tokenizer, Bytes data);

// Returns the number of ids of text, with no regard for special tokens.
std::size_t count(const Tokenizer& tokenizer, Bytes text);

// The outcome of truncating a text to a token budget: the length of the kept prefix, which ends
// where the last kept token's bytes end, or before the character they end in, and the token count
// of the whole text.
struct Truncation {
  std::size_t cut;
  std::size_t total;
};
Truncation truncate(const Tokenizer& tokenizer, Bytes text, std::uint64_t max_tokens);

// The ids of a text with each id's byte span in it, flat: start, end, start, end, ... The spans
// are in order; where a pattern leaves text unmatched, they leave it out.
struct SpannedIds {
  IdVector ids;
  std::vector<std::size_t> bounds;
};
SpannedIds encode_with_offsets(const Tokenizer& tokenizer, Bytes text);

// Turns ascending byte offsets into code-point offsets within text, in place.
void to_char_offsets(Bytes text, std::vector<std::size_t>& offsets);

}  // namespace pelnor

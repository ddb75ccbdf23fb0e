// Encoding text with no regard for special tokens: the encode loop, and the calls built on it
// (counting, truncation, offsets).
#pragma once

#include <cstddef>
#include <cstdint>
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

// Returns the ids of text, with no regard for special tokens.
IdVector encode_ordinary(const Tokenizer& tokenizer, Bytes text);

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

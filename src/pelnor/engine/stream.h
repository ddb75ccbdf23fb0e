// Encoding a text that arrives in parts, holding only a bounded part of it: the ids of what no
// later byte can change are handed out as the parts arrive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pelnor/engine/tokenizer.h"
#include "pelnor/ids.h"
#include "pelnor/types.h"

namespace pelnor {

class StreamEncoder {
 public:
  // with_special: every special string of the encoding is its id, as encode_with_special.
  StreamEncoder(const Tokenizer& tokenizer, bool with_special);

  // Takes the next bytes of the text, which is UTF-8 (cut anywhere between the parts); appends
  // to out the ids that no later byte can change. The ids handed out, joined, are those of the
  // whole text.
  void feed(Bytes more, IdVector& out);
  // The text has ended: appends the ids of the rest.
  void finish(IdVector& out);
  // The bytes of the text that the ids handed out so far spell.
  std::uint64_t consumed() const { return consumed_; }

 private:
  // Hands out the ids of what is held up to the last boundary no later byte can move, or of a
  // long piece's first parts; all of it once the text has ended.
  void drain(bool ended, IdVector& out);
  // Whether the pieces of what is held up to `boundary`, where the piece or special string
  // starting at piece_start ends, are those of the whole text.
  bool final_boundary(std::size_t piece_start, std::size_t boundary) const;
  // Where the piece at the start of what is held surely goes on to, whatever follows.
  std::size_t sure_piece_prefix() const;
  // Hands out the ids of the next `spelled` bytes held, a long piece's part or not.
  void settle(const TokenId* ids, std::size_t count, std::size_t spelled, bool part, IdVector& out);
  // The new text a drain waits for.
  std::size_t drain_bytes() const;

  const Tokenizer& tokenizer_;
  bool with_special_;
  unsigned threads_;                // that encode what a drain hands out
  std::vector<std::uint8_t> held_;  // the text after what the ids handed out spell
  std::size_t next_drain_;          // held_ is drained once it is this long
  std::uint64_t consumed_ = 0;
  // A long piece's part was the last handed out: the piece goes on at held_'s start, and the
  // ids that follow must join its last, as a part's ids join within a piece.
  bool in_long_piece_ = false;
  TokenId last_handed_out_ = NONE_RANK;
};

}  // namespace pelnor

// Byte-pair merge of one piece through the trie tables and the compatibility test.
#pragma once

#include "pelnor/bpe/vocab.h"
#include "pelnor/ids.h"
#include "pelnor/types.h"

namespace pelnor {

// Returns the rank of the longest token that is a prefix of span, or NONE_RANK.
TokenId longest_prefix(const Vocab& vocab, Bytes span);

// Appends the byte-pair encoding of piece to out.
void merge_piece(const Vocab& vocab, Bytes piece, IdVector& out);

// Same as merge_piece, for a caller that already knows first = longest_prefix(vocab, piece).
void merge_piece_from(const Vocab& vocab, Bytes piece, TokenId first, IdVector& out);

}  // namespace pelnor

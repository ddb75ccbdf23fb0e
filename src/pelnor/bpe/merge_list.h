// Byte-pair merging by a list of merges, as vocabularies that publish one (rather than ranks)
// define it: of the adjacent pairs the list holds, the one it lists first merges first, the
// leftmost among equals.
#pragma once

#include <span>
#include <vector>

#include "pelnor/bpe/vocab_file.h"
#include "pelnor/types.h"

namespace pelnor {

// A merge of the list: the ranks of its two halves and of the token they form.
struct ListedMerge {
  TokenId left;
  TokenId right;
  TokenId merged;
};

// Returns, in ascending order, the ranks of the tokens longer than one byte that merging their
// own bytes by the list does not form, gaps' placeholders among them: tokens that merging by
// the list yields for no text.
std::vector<TokenId> tokens_unformed_by(const TokenStrings& tokens,
                                        std::span<const ListedMerge> merges);

}  // namespace pelnor

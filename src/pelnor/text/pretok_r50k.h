// The GPT-2 family's pre-tokenizer: space-prefixed runs of one class, lower-case contractions.
#pragma once

#include <cstddef>

#include "pelnor/text/uniclass.h"
#include "pelnor/types.h"

namespace pelnor {

// Returns the byte length (at least 1) of the r50k piece that starts at p < text.size().
std::size_t r50k_next_piece(const UniClassTable& table, Bytes text, std::size_t p);

// The same on the general path alone; the definition the fast path must reproduce.
std::size_t r50k_next_piece_general(const UniClassTable& table, Bytes text, std::size_t p);

}  // namespace pelnor

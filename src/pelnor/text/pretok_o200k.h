// The o200k pre-tokenizer: words split by letter case, contractions attached to the word.
#pragma once

#include <cstddef>

#include "pelnor/text/pretok.h"
#include "pelnor/text/simd.h"
#include "pelnor/text/uniclass.h"
#include "pelnor/types.h"

namespace pelnor {

// Returns the o200k pre-tokenizer whose ASCII runs `kernel` scans; the CPU must support it.
NextPiece o200k_scanner(simd::Kernel kernel);

// Returns the byte length (at least 1) of the o200k piece that starts at p < text.size(), with
// the active kernel.
inline std::size_t o200k_next_piece(const UniClassTable& table, Bytes text, std::size_t p) {
  return o200k_scanner(simd::active_kernel())(table, text, p);
}

// The same on the general path alone; the definition the fast path must reproduce.
std::size_t o200k_next_piece_general(const UniClassTable& table, Bytes text, std::size_t p);

}  // namespace pelnor

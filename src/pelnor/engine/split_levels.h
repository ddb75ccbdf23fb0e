// The splitting levels of a tokenizer, read from their file format: a count, then per level its
// rules (a byte: 0 cl100k, 1 o200k, 2 r50k, 3 a pattern), its behavior (a byte, SplitBehavior's
// order), whether it is inverted (a byte), and the pattern's length and UTF-8 bytes in PCRE2's
// syntax (empty for hand-written rules); integers little-endian.
#pragma once

#include <string_view>
#include <vector>

#include "pelnor/result.h"
#include "pelnor/text/pretok_split.h"
#include "pelnor/types.h"

namespace pelnor {

inline constexpr std::uint32_t kMaxSplitLevels = 16;

// Parses and compiles the levels; label names them in error messages. A pattern PCRE2 refuses
// is an argument failure, as in Tokenizer::from_data.
Result<std::vector<SplitLevel>> parse_split_levels(Bytes data, std::string_view label);

}  // namespace pelnor

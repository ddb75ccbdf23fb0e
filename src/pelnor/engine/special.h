// Special tokens: strings such as <|endoftext|> with ids of their own.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "pelnor/engine/matcher.h"
#include "pelnor/result.h"
#include "pelnor/types.h"

namespace pelnor {

inline constexpr std::uint32_t kMaxSpecialTokens = 4096;
inline constexpr std::size_t kMaxSpecialTokenBytes = 64;
// The largest special-tokens file: the count, then per token its id, length and text.
inline constexpr std::size_t kMaxSpecialFileBytes =
    4 + std::size_t{kMaxSpecialTokens} * (4 + 2 + kMaxSpecialTokenBytes);

struct SpecialToken {
  std::string text;  // valid UTF-8
  TokenId id;
};

// The entries of a special-tokens file, in file order; nothing sorted or deduplicated.
using SpecialTokens = std::vector<SpecialToken>;

// Parses a special-tokens file; label names it in the error message.
Result<SpecialTokens> parse_special_tokens(Bytes data, std::string_view label);

// An ordered set of strings: ascending byte-wise order, no duplicates.
using SpecialSet = std::vector<std::string>;

// Sorts strings into a set.
SpecialSet make_special_set(std::vector<std::string> strings);

// The special strings of an encoding, ready to be found in texts.
struct SpecialIndex {
  SpecialSet strings;            // every special string, in set order
  StringMatcher in_set_order;    // values: positions in `strings`
  StringMatcher in_table_order;  // values: positions in the special-token table

  static SpecialIndex build(const SpecialTokens& tokens);
};

}  // namespace pelnor

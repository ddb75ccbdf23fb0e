// Special tokens: strings such as <|endoftext|> with ids of their own.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "result.h"
#include "types.h"

namespace pelnor {

inline constexpr std::uint32_t kMaxSpecialTokens = 4096;
inline constexpr std::size_t kMaxSpecialTokenBytes = 64;

struct SpecialToken {
  std::string text;  // valid UTF-8
  TokenId id;
};

// The entries of a special-tokens file, in file order; nothing sorted or deduplicated.
using SpecialTokens = std::vector<SpecialToken>;

// Parses a special-tokens file; label names it in the error message.
Result<SpecialTokens> parse_special_tokens(Bytes data, std::string_view label);

}  // namespace pelnor

// The built-in encodings: for each name, its data files and its splitting rules. Adding an
// encoding is a row here (and its data files).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "pelnor/text/pretok.h"

namespace pelnor {

// Which pre-tokenizer a tokenizer uses: a hand-written one, a regular expression, or levels of
// splits (each level's pieces cut again by the next). kCl100kLineBreakFirst is cl100k's rules
// with o200k's order of the whitespace rules. The first four values are the levels format's codes.
enum class RuleSet : std::uint8_t {
  kCl100k = 0,
  kO200k = 1,
  kR50k = 2,
  kRegex = 3,
  kLevels = 4,
  kCl100kLineBreakFirst = 5,
};

struct BuiltinEncoding {
  std::string_view name;
  std::string_view vocab_file;
  std::string_view special_file;
  std::string_view class_file;
  int classes;
  RuleSet rules;
};

// Returns the built-in encodings, in tiktoken's order of its encodings.
std::span<const BuiltinEncoding> builtin_registry();

// Returns the names of the built-in encodings, in registry order.
std::vector<std::string_view> builtin_encodings();

// Returns the row of a built-in name, or null.
const BuiltinEncoding* find_builtin(std::string_view name);

// Returns the first row whose hand-written rule set classifies characters as `rules` does: where
// its class table comes from.
const BuiltinEncoding& first_with_rules(RuleSet rules);

// Returns the hand-written pre-tokenizer of a rule set, on the active kernel; null for kRegex and
// kLevels, which have none.
NextPiece scanner_of(RuleSet rules);

}  // namespace pelnor

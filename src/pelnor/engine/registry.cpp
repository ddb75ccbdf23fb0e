#include "pelnor/engine/registry.h"

#include <algorithm>

#include "pelnor/text/pretok_o200k.h"
#include "pelnor/text/pretok_r50k.h"

namespace pelnor {
namespace {

// In tiktoken's order of its encodings.
constexpr BuiltinEncoding kRegistry[] = {
    {"gpt2", "r50k.vocab", "r50k.special", "uniclass.bin", 3, RuleSet::kR50k},
    {"r50k_base", "r50k.vocab", "r50k.special", "uniclass.bin", 3, RuleSet::kR50k},
    {"p50k_base", "p50k.vocab", "p50k.special", "uniclass.bin", 3, RuleSet::kR50k},
    {"p50k_edit", "p50k.vocab", "p50k_edit.special", "uniclass.bin", 3, RuleSet::kR50k},
    {"cl100k_base", "cl100k.vocab", "cl100k.special", "uniclass.bin", 3, RuleSet::kCl100k},
    {"o200k_base", "o200k.vocab", "o200k.special", "uniclass_o200k.bin", 5, RuleSet::kO200k},
    {"o200k_harmony", "o200k.vocab", "o200k_harmony.special", "uniclass_o200k.bin", 5,
     RuleSet::kO200k},
};

}  // namespace

std::span<const BuiltinEncoding> builtin_registry() {
  return kRegistry;
}

std::vector<std::string_view> builtin_encodings() {
  std::vector<std::string_view> names;
  for (const BuiltinEncoding& encoding : kRegistry) names.push_back(encoding.name);
  return names;
}

const BuiltinEncoding* find_builtin(std::string_view name) {
  for (const BuiltinEncoding& encoding : kRegistry) {
    if (encoding.name == name) return &encoding;
  }
  return nullptr;
}

const BuiltinEncoding& first_with_rules(RuleSet rules) {
  // No built-in encoding splits so; its classes are cl100k's.
  if (rules == RuleSet::kCl100kLineBreakFirst) rules = RuleSet::kCl100k;
  return *std::ranges::find(kRegistry, rules, &BuiltinEncoding::rules);
}

NextPiece scanner_of(RuleSet rules) {
  switch (rules) {
    case RuleSet::kCl100k:
      return cl100k_scanner(simd::active_kernel());
    case RuleSet::kCl100kLineBreakFirst:
      return cl100k_scanner<WhitespaceRules::kLineBreakFirst>(simd::active_kernel());
    case RuleSet::kO200k:
      return o200k_scanner(simd::active_kernel());
    case RuleSet::kR50k:
      return r50k_next_piece;
    case RuleSet::kRegex:
    case RuleSet::kLevels:
      break;
  }
  return nullptr;
}

}  // namespace pelnor

// A tokenizer: one encoding's tables, built once, immutable, shared by any number of threads.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "pelnor/bpe/vocab.h"
#include "pelnor/engine/registry.h"
#include "pelnor/engine/special.h"
#include "pelnor/ids.h"
#include "pelnor/result.h"
#include "pelnor/text/pretok_regex.h"
#include "pelnor/text/pretok_split.h"
#include "pelnor/text/uniclass.h"
#include "pelnor/types.h"

namespace pelnor {

class Tokenizer {
 public:
  // Builds the encoding of that name from the built-in data (datadir empty) or from the files of
  // the same names in datadir.
  static Result<Tokenizer> create(std::string_view encoding, std::string_view datadir);
  // Builds an encoding of any name from a vocabulary and a special-token list held in memory, in
  // the formats of the vocab and special-tokens files, splitting text by the rule set's rules;
  // kRegex splits by pattern, in PCRE2's syntax (the other rule sets ignore it).
  static Result<Tokenizer> from_data(std::string_view name, RuleSet rules, Bytes vocab,
                                     Bytes special_tokens, std::string_view pattern = {});
  // The same, splitting text by levels in the format of parse_split_levels.
  static Result<Tokenizer> from_levels(std::string_view name, Bytes vocab, Bytes special_tokens,
                                       Bytes levels);

  const std::string& name() const { return name_; }
  RuleSet rule_set() const { return rule_set_; }
  // Whether a hand-written pre-tokenizer alone splits the text, by the class table classes().
  bool hand_written() const {
    return rule_set_ != RuleSet::kRegex && rule_set_ != RuleSet::kLevels;
  }
  // A number unique within the process; the piece caches are keyed by it.
  std::uint64_t identity() const { return identity_; }
  const Vocab& vocab() const { return *vocab_; }
  const UniClassTable& classes() const { return classes_; }
  // The compiled pattern of the kRegex rule set, else null.
  const RegexSplitter* splitter() const { return splitter_.get(); }
  // The levels of the kLevels rule set, else none.
  std::span<const SplitLevel> levels() const { return levels_; }
  const SpecialTokens& special_tokens() const { return special_tokens_; }
  const SpecialIndex& special_index() const { return special_index_; }
  // Returns one more than the largest id, base or special.
  std::uint64_t n_vocab() const;
  // Returns the id of <|endoftext|>, if the encoding has that special token.
  std::optional<TokenId> end_of_text() const;
  // Returns whether some special token has this id.
  bool is_special(TokenId id) const;
  // Returns whether the id is a rank no token of the rank table has and no special token takes:
  // no token at all, though below the vocabulary's size.
  bool is_unfilled_gap(TokenId id) const { return std::ranges::binary_search(unfilled_gaps_, id); }
  // Returns the id of the base token whose bytes are piece, else of the first special token
  // whose string is piece, if any.
  std::optional<TokenId> single_token(Bytes piece) const;
  // Returns the heap footprint of the tables, counting elements, not spare capacity.
  std::size_t memory_bytes() const;
  // The token bytes that decoding reads, laid out as the vocabulary's: those of the vocabulary,
  // but at a gap of the rank table the bytes of the special token of that id, or none.
  TokenArrays decode_arrays() const;

 private:
  Tokenizer() = default;
  // Completes a tokenizer whose splitting is set up with its vocabulary and special tokens.
  static Result<Tokenizer> with_tables(Tokenizer tokenizer, std::string_view name, RuleSet rules,
                                       Bytes vocab, Bytes special_tokens);
  // Gives each gap of the rank table the decoded bytes of the special token of its id, or none.
  void lay_out_gaps();

  std::string name_;
  RuleSet rule_set_ = RuleSet::kCl100k;
  std::uint64_t identity_ = 0;
  std::unique_ptr<Vocab> vocab_;
  UniClassTable classes_;
  std::unique_ptr<const RegexSplitter> splitter_;
  std::vector<SplitLevel> levels_;
  SpecialTokens special_tokens_;
  SpecialIndex special_index_;
  // Empty unless the rank table has gaps; then the vocabulary's token bytes and offsets with
  // the gaps' decoded bytes in their places.
  std::vector<std::uint8_t> decode_bytes_;
  std::vector<std::uint32_t> decode_offsets_;
  std::vector<TokenId> unfilled_gaps_;  // ascending
};

}  // namespace pelnor

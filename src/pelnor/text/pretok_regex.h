// Splitting by a regular expression (PCRE2 with its JIT), for patterns that have no hand-written
// pre-tokenizer.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

#include "pelnor/result.h"
#include "pelnor/types.h"

struct pcre2_real_code_8;

namespace pelnor {

// A piece of text: where it starts and how many bytes it has.
struct Span {
  std::size_t start;
  std::size_t len;
};

struct MatchState;

class RegexSplitter {
 public:
  // Compiles a pattern in PCRE2's syntax; a pattern PCRE2 refuses gives its message and the
  // byte offset where it stopped.
  static Result<std::unique_ptr<const RegexSplitter>> compile(std::string_view pattern);
  ~RegexSplitter();
  RegexSplitter(const RegexSplitter&) = delete;
  RegexSplitter& operator=(const RegexSplitter&) = delete;

 private:
  friend class RegexSearch;
  RegexSplitter() = default;

  pcre2_real_code_8* code_ = nullptr;
  bool jit_ = false;  // the JIT compiled it
};

// The pieces of one text, searched on the calling thread with its match state.
class RegexSearch {
 public:
  RegexSearch(const RegexSplitter& splitter, Bytes text);

  // Finds the next piece at or after `from`: a non-empty match, or a stretch of bytes that are
  // not UTF-8, which no pattern can match but which must not be lost. Returns false when none
  // is left. Matched text is the only text kept otherwise, as in the reference tokenizer.
  bool next(std::size_t from, Span& piece);

 private:
  // The next match at or after from, empty ones included; false when none.
  bool match(std::size_t from, Span& found);
  // Whether a match that the JIT did not finish with rc (its stack outgrown, or no JIT) is found
  // by the interpreter; raises on PCRE2's errors.
  bool settled(std::size_t from, int rc);
  // next, when the match at or after from (found, if matched) is not a piece right at from.
  bool next_after(std::size_t from, bool matched, Span found, Span& piece);

  Bytes text_;
  const pcre2_real_code_8* code_;
  bool jit_;
  MatchState& state_;
};

}  // namespace pelnor

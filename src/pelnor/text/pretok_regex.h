// Splitting by a regular expression (PCRE2 with its JIT), for patterns that have no hand-written
// pre-tokenizer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
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

// A text the pattern cannot cut within the work its length allows: a search backtracks without
// bound, or each search reads far ahead of where its match ends. Raised from the encode loop;
// the binding reports it as a bad argument.
class SplitTooCostly : public std::exception {
 public:
  enum class Cause : std::uint8_t { kBacktracking, kLookahead };
  SplitTooCostly(Cause cause, std::size_t offset);
  // The same failure, the offset counted from `base` bytes earlier: where the text searched is
  // a stretch of a longer one.
  SplitTooCostly from_base(std::size_t base) const { return {cause_, base + offset_}; }
  std::size_t offset() const { return offset_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  Cause cause_;
  std::size_t offset_;
  std::string message_;
};

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
  // Throws SplitTooCostly once the searches of the text have outrun their work budget.
  bool next(std::size_t from, Span& piece);
  // Finds the leftmost match at or after `from`, empty ones included; false when none. Throws
  // SplitTooCostly as next does.
  bool find(std::size_t from, Span& found) { return match(from, found); }

 private:
  // How one attempt of a search ended.
  enum class Attempt : std::uint8_t { kFound, kNone, kWindowTooSmall, kLimitTooSmall };

  // The next match at or after from, empty ones included; false when none.
  bool match(std::size_t from, Span& found);
  // One attempt at the search from `from`, reading at most `window` bytes and taking at most
  // `steps` of PCRE2's backtracking steps.
  Attempt attempt(std::size_t from, std::size_t window, std::uint32_t steps);
  // next, when the match at or after from (found, if matched) is not a piece right at from.
  bool next_after(std::size_t from, bool matched, Span found, Span& piece);

  Bytes text_;
  const pcre2_real_code_8* code_;
  bool jit_;
  MatchState& state_;
  // The window bytes the attempts after each search's first may still read, in all.
  std::uint64_t budget_;
};

}  // namespace pelnor

// Splitting as byte-level models published for Hugging Face's tokenizers configure it: a
// pattern's matches, the stretches of text between them, and what becomes of each; and levels of
// such splits, each cutting every piece of the level before it again, as its whole text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "pelnor/text/pretok.h"
#include "pelnor/text/pretok_regex.h"
#include "pelnor/text/uniclass.h"
#include "pelnor/types.h"

namespace pelnor {

// What becomes of the delimiters (the matches, or with `invert` the stretches between them):
// dropped, pieces of their own, joined to the piece before or after them, or joined with the
// matches next to them (whatever `invert` says).
enum class SplitBehavior : std::uint8_t {
  kRemoved,
  kIsolated,
  kMergedWithPrevious,
  kMergedWithNext,
  kContiguous,
};

// One level: a pattern, or a hand-written pre-tokenizer (rules), whose pieces cover any text
// and stand for the matches of the pattern it implements.
struct SplitLevel {
  std::unique_ptr<const RegexSplitter> pattern;
  NextPiece rules = nullptr;
  UniClassTable classes;
  SplitBehavior behavior = SplitBehavior::kIsolated;
  bool invert = false;
};

// The pieces one level cuts a span of text into; the pattern sees the span alone.
class LevelPieces {
 public:
  LevelPieces(const SplitLevel& level, Bytes span);

  // Finds the next non-empty piece, as offsets within the span; false when none is left.
  // Throws SplitTooCostly as RegexSearch does.
  bool next(Span& piece);

 private:
  // A match, or a non-empty stretch between matches; in order, they tile the span.
  struct Part {
    std::size_t start;
    std::size_t end;
    bool matched;
  };

  bool next_part(Part& part);
  bool delimits(const Part& part) const { return part.matched != level_.invert; }
  // Whether part, taken in by the behavior, completes a piece.
  bool take(const Part& part, Span& piece);
  // Holds part as the piece being built; true with the one it replaces, if not empty.
  bool hold(const Part& part, Span& piece);

  const SplitLevel& level_;
  Bytes span_;
  std::optional<RegexSearch> search_;
  std::size_t search_from_ = 0;
  std::size_t covered_ = 0;  // where the parts handed out end
  std::optional<std::size_t> last_match_end_;
  std::optional<Span> found_;  // a match whose stretch before it goes out first
  std::optional<Part> held_;
  bool held_ends_delimiting_ = false;
};

// Cuts a text by levels: every piece of a level is cut by the next; the last level's pieces
// are the text's.
class LevelCutter {
 public:
  LevelCutter(std::span<const SplitLevel> levels, Bytes text);

  // Finds the next piece, as offsets within the text; false when none is left.
  bool next(Span& piece);

 private:
  std::span<const SplitLevel> levels_;
  Bytes text_;
  // cutters_[d] cuts a piece of level d - 1 (the text for d = 0), which starts at bases_[d].
  std::deque<LevelPieces> cutters_;
  std::vector<std::size_t> bases_;
};

}  // namespace pelnor

// Splitting levels: a pattern's matches and the stretches between them under each behavior, as
// HF's Split gives them (the expected pieces were taken from HF tokenizers), and levels cutting
// the pieces of the level before.
#include "pelnor/text/pretok_split.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pelnor/text/pretok_r50k.h"
#include "test_support.h"

namespace pelnor {
namespace {

using testing::as_bytes;

SplitLevel pattern_level(const char* pattern, SplitBehavior behavior, bool invert) {
  SplitLevel level;
  level.pattern = std::move(RegexSplitter::compile(pattern).value());
  level.behavior = behavior;
  level.invert = invert;
  return level;
}

std::vector<std::string> cut(std::span<const SplitLevel> levels, const std::string& text) {
  LevelCutter cutter(levels, as_bytes(text));
  std::vector<std::string> pieces;
  for (Span piece{}; cutter.next(piece);) pieces.push_back(text.substr(piece.start, piece.len));
  return pieces;
}

struct SplitCase {
  const char* pattern;
  SplitBehavior behavior;
  bool invert;
  const char* text;
  std::vector<std::string> pieces;
};

using enum SplitBehavior;

const SplitCase kCases[] = {
    {R"(\d+)", kRemoved, false, "ab12cd3 45x", {"ab", "cd", " ", "x"}},
    {R"(\d+)", kRemoved, true, "ab12cd3 45x", {"12", "3", "45"}},
    {R"(\d+)", kIsolated, false, "ab12cd3 45x", {"ab", "12", "cd", "3", " ", "45", "x"}},
    {R"(\d+)", kMergedWithPrevious, false, "ab12cd3 45x", {"ab12", "cd3", " 45", "x"}},
    {R"(\d+)", kMergedWithPrevious, true, "ab12cd3 45x", {"ab", "12cd", "3 ", "45x"}},
    {R"(\d+)", kMergedWithNext, false, "ab12cd3 45x", {"ab", "12cd", "3 ", "45x"}},
    {R"(\d+)", kMergedWithNext, true, "ab12cd3 45x", {"ab12", "cd3", " 45", "x"}},
    {"a", kMergedWithPrevious, false, "aabaa", {"a", "a", "ba", "a"}},
    {"a", kMergedWithNext, false, "aabaa", {"a", "ab", "a", "a"}},
    {"a", kMergedWithPrevious, true, "aabaca", {"a", "ab", "ac", "a"}},
    {"a", kContiguous, false, "aabaca", {"aa", "b", "a", "c", "a"}},
    {"a", kContiguous, true, "aabaca", {"aa", "b", "a", "c", "a"}},
    {"a", kRemoved, true, "aabaca", {"a", "a", "a", "a"}},
    // Empty matches cut too, but not where the last match ended; the search goes on a
    // character later.
    {R"(\d*)", kIsolated, false, "ab12c", {"a", "b", "12", "c"}},
    {R"(\d*)", kMergedWithPrevious, false, "1a2b", {"1", "a2", "b"}},
    {R"(\d*)", kMergedWithPrevious, true, "ab12c", {"a", "b", "12c"}},
    {R"(\d*)", kMergedWithNext, true, "ab12c", {"a", "b12", "c"}},
    {"(?=b)|b", kIsolated, false, "abab", {"a", "ba", "b"}},
    {"a|(?=c)|c", kIsolated, false, "acb", {"a", "cb"}},
    {"x", kIsolated, false, "", {}},
};

TEST(SplitLevel, BehaviorsCutAsHfSplit) {
  for (const SplitCase& c : kCases) {
    const SplitLevel levels[] = {pattern_level(c.pattern, c.behavior, c.invert)};
    EXPECT_EQ(cut(levels, c.text), c.pieces)
        << c.pattern << " " << static_cast<int>(c.behavior) << " " << c.invert << " " << c.text;
  }
}

TEST(SplitLevel, EachLevelCutsThePiecesOfTheOneBefore) {
  // Digits alone, then GPT-2's rules within each stretch: a lookahead sees its piece only.
  SplitLevel levels[2] = {pattern_level(R"(\p{N})", kIsolated, false), {}};
  levels[1].rules = r50k_next_piece;
  levels[1].classes = testing::builtin_classes(3);
  EXPECT_EQ(cut(levels, "a12 b  3"), (std::vector<std::string>{"a", "1", "2", " b", "  ", "3"}));
}

TEST(SplitLevel, TooCostlyPatternNamesItsByteInTheWholeText) {
  SplitLevel levels[2] = {pattern_level(R"(\s+)", kIsolated, false),
                          pattern_level("(a|a)*b|.", kIsolated, false)};
  const std::string text = "x " + std::string(40, 'a') + "!";
  try {
    cut(levels, text);
    FAIL() << "no failure";
  } catch (const SplitTooCostly& failure) {
    EXPECT_EQ(failure.offset(), 2u);
  }
}

}  // namespace
}  // namespace pelnor

// The pre-tokenizers against the published splitting patterns run by PCRE2.
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "pelnor/text/pretok.h"
#include "pelnor/text/pretok_o200k.h"
#include "pelnor/text/pretok_r50k.h"
#include "pelnor/text/pretok_regex.h"
#include "test_support.h"

namespace pelnor {
namespace {

using testing::as_bytes;
using testing::builtin_classes;
using testing::Scanner;
using testing::utf8;

constexpr const char* kCl100kPattern =
    R"('(?i:[sdmt]|ll|ve|re)|[^\r\n\p{L}\p{N}]?+\p{L}++|\p{N}{1,3}+| ?[^\s\p{L}\p{N}]++[\r\n]*+)"
    R"(|\s++$|\s*[\r\n]|\s+(?!\S)|\s+)";

// cl100k's older spelling, which has o200k's order of the whitespace rules.
constexpr const char* kCl100kOldPattern =
    R"((?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}{1,3}| ?[^\s\p{L}\p{N}]+[\r\n]*)"
    R"(|\s*[\r\n]+|\s+(?!\S)|\s+)";

constexpr const char* kO200kPattern =
    R"([^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]*[\p{Ll}\p{Lm}\p{Lo}\p{M}]+)"
    R"((?i:'s|'t|'re|'ve|'m|'ll|'d)?)"
    R"(|[^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]+[\p{Ll}\p{Lm}\p{Lo}\p{M}]*)"
    R"((?i:'s|'t|'re|'ve|'m|'ll|'d)?)"
    R"(|\p{N}{1,3}| ?[^\s\p{L}\p{N}]+[\r\n/]*|\s*[\r\n]+|\s+(?!\S)|\s+)";

constexpr const char* kR50kPattern =
    R"('(?:[sdmt]|ll|ve|re)| ?\p{L}++| ?\p{N}++| ?[^\s\p{L}\p{N}]++|\s++$|\s+(?!\S)|\s)";

class Pattern {
 public:
  explicit Pattern(const char* pattern) {
    int error;
    PCRE2_SIZE offset;
    code_ = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern), PCRE2_ZERO_TERMINATED,
                          PCRE2_UTF | PCRE2_UCP | PCRE2_DOLLAR_ENDONLY, &error, &offset, nullptr);
    match_ = pcre2_match_data_create_from_pattern(code_, nullptr);
  }
  ~Pattern() {
    pcre2_match_data_free(match_);
    pcre2_code_free(code_);
  }

  // The pieces of text as the pattern's successive matches (each must start where the last one
  // ended; the text is cut as a whole, as the published tokenizers do).
  std::vector<std::string> pieces(const std::string& text) const {
    std::vector<std::string> out;
    for (std::size_t pos = 0; pos < text.size();) {
      const int rc = pcre2_match(code_, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), pos,
                                 0, match_, nullptr);
      const PCRE2_SIZE* span = pcre2_get_ovector_pointer(match_);
      if (rc < 0 || span[0] != pos || span[1] == pos) {
        out.push_back("<no match at " + std::to_string(pos) + ">");
        break;
      }
      out.push_back(text.substr(pos, span[1] - pos));
      pos = span[1];
    }
    return out;
  }

 private:
  pcre2_code* code_;
  pcre2_match_data* match_;
};

std::vector<std::string> scanned(Scanner scan, int classes, const std::string& text) {
  std::vector<std::string> out;
  for (std::size_t p = 0; p < text.size();) {
    const std::size_t len = scan(builtin_classes(classes), as_bytes(text), p);
    out.push_back(text.substr(p, len));
    p += len;
  }
  return out;
}

std::string engine_unicode_version() {
  char version[32] = {};
  pcre2_config(PCRE2_CONFIG_UNICODE_VERSION, version);
  return version;
}

// Characters the rules treat differently, by kind. Left out: U+017F (long s) and U+212A (Kelvin
// sign), which the engine's case-insensitive matching folds onto s and k, where the
// pre-tokenizers fold ASCII letters only.
const std::vector<std::vector<char32_t>>& character_pools() {
  static const std::vector<std::vector<char32_t>> pools = {
      {'a', 'e', 'n', 's', 't', 'l', 'r', 'v', 'd', 'm', 'x', 'z'},
      {'A', 'E', 'S', 'T', 'L', 'R', 'V', 'D', 'M', 'Q'},
      {'0', '1', '5', '9'},
      {' ', ' ', ' ', '\t', '\n', '\r', '\v', '\f', 0x85, 0xA0, 0x1680, 0x2000, 0x2007, 0x200A,
       0x2028, 0x2029, 0x202F, 0x205F, 0x3000},
      {'\'', '\'', 0x2019, 0x02BC, 0xFF07, '`', 0x2018},
      {'!', '.', ',', '/', '-', '?', '"', '#', '(', ')', 0x7F, 0x01, 0x20AC, 0xA9, 0x2014},
      {0x0301, 0x0300, 0x0308, 0x20D7, 0x1AB0, 0x093F, 0x0903, 0xFE0F, 0x200D, 0x064B},
      {0xE9,   0xDF,   0xC7,   0x3B1,  0x3A9,  0x434,  0x416,  0x639,  0x5D0, 0x915, 0x4E2D,
       0x65E5, 0xD55C, 0x30A2, 0x30FC, 0x01C5, 0x02B0, 0x1F88, 0x088F, 0xAA,  0xBA},
      {0x0663, 0x096B, 0xB2, 0xB9, 0xBD, 0x216B, 0x2460, 0xFF11},
      {0x1D400, 0x1D44E, 0x1D7CE, 0x10400, 0x10428, 0x20000, 0x1F600, 0x1F3FD, 0x1F44D, 0xE0100},
  };
  return pools;
}

std::string random_text(std::mt19937_64& rng) {
  const auto& pools = character_pools();
  std::uniform_int_distribution<std::size_t> pick_pool(0, pools.size());
  std::string text;
  const int chars = std::uniform_int_distribution<int>(1, 24)(rng);
  // Runs of one pool make words, numbers and whitespace runs likely.
  std::size_t pool = pick_pool(rng) % pools.size();
  for (int i = 0; i < chars; ++i) {
    if (std::uniform_int_distribution<int>(0, 2)(rng) == 0) pool = pick_pool(rng);
    if (pool == pools.size()) {
      char32_t cp;
      do {
        cp = std::uniform_int_distribution<char32_t>(0x80, 0x10FFFF)(rng);
      } while ((cp >= 0xD800 && cp <= 0xDFFF) || cp == 0x17F || cp == 0x212A);
      text += utf8(cp);
    } else {
      const auto& chosen = pools[pool];
      text += utf8(chosen[std::uniform_int_distribution<std::size_t>(0, chosen.size() - 1)(rng)]);
    }
  }
  return text;
}

struct Case {
  const char* name;
  const char* pattern;
  int classes;
  Scanner scan;
};

class AgainstPattern : public ::testing::TestWithParam<Case> {};

TEST_P(AgainstPattern, RandomTexts) {
  // The engine's Unicode version equals the class tables' (17.0.0), so no code point has to be
  // left out of the draws for a class that differs between the two.
  ASSERT_EQ(engine_unicode_version(), "17.0.0");
  const Case& c = GetParam();
  const Pattern pattern(c.pattern);
  std::mt19937_64 rng(20261208);
  for (int i = 0; i < 100000; ++i) {
    const std::string text = random_text(rng);
    ASSERT_EQ(scanned(c.scan, c.classes, text), pattern.pieces(text))
        << ::testing::PrintToString(text);
  }
}

TEST_P(AgainstPattern, RealText) {
  const Case& c = GetParam();
  const Pattern pattern(c.pattern);
  std::size_t files = 0;
  for (const auto& entry :
       std::filesystem::directory_iterator(std::string(PELNOR_SOURCE_DIR) + "/tests/corpus")) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    const std::string text = content.str();
    EXPECT_EQ(scanned(c.scan, c.classes, text), pattern.pieces(text)) << entry.path();
    ++files;
  }
  EXPECT_GE(files, 8u);
}

INSTANTIATE_TEST_SUITE_P(
    Published, AgainstPattern,
    ::testing::Values(Case{"cl100k", kCl100kPattern, 3, cl100k_next_piece},
                      Case{"cl100k_general", kCl100kPattern, 3, cl100k_next_piece_general},
                      Case{"cl100k_line_break_first", kCl100kOldPattern, 3,
                           cl100k_next_piece<WhitespaceRules::kLineBreakFirst>},
                      Case{"cl100k_line_break_first_general", kCl100kOldPattern, 3,
                           cl100k_next_piece_general<WhitespaceRules::kLineBreakFirst>},
                      Case{"o200k", kO200kPattern, 5, o200k_next_piece},
                      Case{"o200k_general", kO200kPattern, 5, o200k_next_piece_general},
                      Case{"r50k", kR50kPattern, 3, r50k_next_piece},
                      Case{"r50k_general", kR50kPattern, 3, r50k_next_piece_general}),
    [](const auto& info) { return std::string(info.param.name); });

std::vector<std::string> split(const RegexSplitter& splitter, const std::string& text) {
  std::vector<std::string> out;
  Span piece{};
  RegexSearch search(splitter, as_bytes(text));
  for (std::size_t from = 0; search.next(from, piece);) {
    out.push_back(text.substr(piece.start, piece.len));
    from = piece.start + piece.len;
  }
  return out;
}

TEST(RegexSplitter, SplitsAsTheHandWrittenRules) {
  for (const Case& c : {Case{"cl100k", kCl100kPattern, 3, cl100k_next_piece},
                        Case{"o200k", kO200kPattern, 5, o200k_next_piece},
                        Case{"r50k", kR50kPattern, 3, r50k_next_piece}}) {
    auto splitter = RegexSplitter::compile(c.pattern);
    ASSERT_TRUE(splitter.ok()) << splitter.error();
    std::mt19937_64 rng(7);
    for (int i = 0; i < 20000; ++i) {
      const std::string text = random_text(rng);
      ASSERT_EQ(scanned(c.scan, c.classes, text), split(*splitter.value(), text))
          << c.name << " " << ::testing::PrintToString(text);
    }
  }
}

TEST(RegexSplitter, KeepsBytesThatAreNotUtf8AndDropsOnlyUnmatchedText) {
  auto splitter = RegexSplitter::compile(R"([a-z]+|x*)");
  ASSERT_TRUE(splitter.ok());
  // Characters of every length are passed over whole where the match is empty.
  EXPECT_EQ(
      split(*splitter.value(), "ab, cd\xff\xfe.ef\xc3 \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80gh"),
      (std::vector<std::string>{"ab", "cd", "\xff", "\xfe", "ef", "\xc3", "gh"}));
  // An empty match at the very end has no next character to keep, even where the bytes after
  // the text (here the rest of a longer one) are no UTF-8.
  auto at_end = RegexSplitter::compile(R"(a+|$)");
  ASSERT_TRUE(at_end.ok());
  const std::string longer = "b\xc3\xa9";
  RegexSearch search(*at_end.value(), as_bytes(longer).first(1));
  Span piece{};
  EXPECT_FALSE(search.next(0, piece));
}

TEST(RegexSplitter, RunsPastTheJitStackWithoutLosingText) {
  // Each repetition of the capturing group takes JIT stack; millions of them outgrow it, and
  // the match must still be found.
  auto splitter = RegexSplitter::compile(R"((?:(a)|b)*x|.)");
  ASSERT_TRUE(splitter.ok());
  std::string text;
  for (int i = 0; i < 2000000; ++i) text += "ab";
  text += "x";
  EXPECT_EQ(split(*splitter.value(), text), std::vector<std::string>{text});
}

TEST(RegexSplitter, BoundsItsWorkByTheTextsLength) {
  const auto fails_at = [](const char* pattern, const std::string& text) -> std::string {
    auto splitter = RegexSplitter::compile(pattern);
    EXPECT_TRUE(splitter.ok());
    try {
      split(*splitter.value(), text);
    } catch (const SplitTooCostly& failure) {
      return std::to_string(failure.offset()) + ": " + failure.what();
    }
    return "split";
  };
  EXPECT_EQ(fails_at(R"((a|a)*b|.)", "xy" + std::string(40, 'a') + "!b")
                .rfind("2: pelnor: pat_str backtracks without bound at byte 2 ", 0),
            0u);
  EXPECT_NE(fails_at(R"([^x]*x|.)", std::string(100000, 'a')).find("reads too far ahead"),
            std::string::npos);
  // Pieces, and stretches no search matches, far longer than a search's first window (compared
  // by their lengths, which print shorter).
  const auto lengths = [](const char* pattern, const std::string& text) {
    auto splitter = RegexSplitter::compile(pattern);
    EXPECT_TRUE(splitter.ok());
    std::vector<std::size_t> out;
    for (const std::string& piece : split(*splitter.value(), text)) out.push_back(piece.size());
    return out;
  };
  const std::string run(1 << 20, 'a');
  EXPECT_EQ(lengths(R"(\p{L}+(?=7)|\d)", run + "7"), (std::vector<std::size_t>{run.size(), 1}));
  EXPECT_EQ(lengths(R"(\d)", run + "7" + run), std::vector<std::size_t>{1});
}

TEST(RegexSplitter, MovesOnFromAMatchThatEndsWhereTheSearchBegan) {
  // \K in the look-behind starts each match a character back: the second ends at 1, where
  // the search for it began, and is skipped as an empty one is, so that the search ends.
  auto splitter = RegexSplitter::compile(R"((?<=\Ka)|c)");
  ASSERT_TRUE(splitter.ok());
  EXPECT_EQ(split(*splitter.value(), "abc"), (std::vector<std::string>{"a", "c"}));
}

TEST(RegexSplitter, FailsAnIterationThatHasNotMovedAtItsCallout) {
  // Without the callout the loop's first iteration would match nothing and end it; with it,
  // the body's other way is taken, in the interpreter past the JIT's stack too.
  auto splitter = RegexSplitter::compile(R"(b(?:()(?:|a)(?C{1}))*|.)");
  ASSERT_TRUE(splitter.ok());
  EXPECT_EQ(split(*splitter.value(), "baab"), (std::vector<std::string>{"baa", "b"}));
  std::string text = "b";
  for (int i = 0; i < 2000000; ++i) text += "a";
  EXPECT_EQ(split(*splitter.value(), text), std::vector<std::string>{text});
}

TEST(RegexSplitter, RefusesWhatPcre2CannotCompileSayingWhere) {
  auto splitter = RegexSplitter::compile(R"(\p{L}+|(\s)");
  ASSERT_FALSE(splitter.ok());
  EXPECT_EQ(splitter.error(),
            "pelnor: the splitting pattern cannot be compiled (at byte 10): missing closing "
            "parenthesis");
}

}  // namespace
}  // namespace pelnor

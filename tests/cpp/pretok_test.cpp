#include "pelnor/text/pretok.h"

#include <gtest/gtest.h>

#include <iostream>
#include <random>

#include "pelnor/text/pretok_o200k.h"
#include "pelnor/text/pretok_r50k.h"
#include "pelnor/text/simd.h"
#include "test_support.h"

namespace pelnor {
namespace {

using testing::as_bytes;
using testing::builtin_classes;
using testing::utf8;

using testing::Scanner;

struct RuleSet {
  const char* name;
  int classes;
  Scanner fast;
  Scanner general;
};

const RuleSet kCl100k{"cl100k", 3, cl100k_next_piece, cl100k_next_piece_general};
const RuleSet kCl100kLineBreakFirst{"cl100k_line_break_first", 3,
                                    cl100k_next_piece<WhitespaceRules::kLineBreakFirst>,
                                    cl100k_next_piece_general<WhitespaceRules::kLineBreakFirst>};
const RuleSet kO200k{"o200k", 5, o200k_next_piece, o200k_next_piece_general};
const RuleSet kR50k{"r50k", 3, r50k_next_piece, r50k_next_piece_general};

std::vector<std::string> pieces(Scanner scan, int classes, std::string_view text) {
  std::vector<std::string> out;
  for (std::size_t p = 0; p < text.size();) {
    const std::size_t len = scan(builtin_classes(classes), as_bytes(text), p);
    out.emplace_back(text.substr(p, len));
    p += len;
  }
  return out;
}

// Pieces through both paths, which must agree.
std::vector<std::string> split(const RuleSet& rules, std::string_view text) {
  std::vector<std::string> fast = pieces(rules.fast, rules.classes, text);
  EXPECT_EQ(fast, pieces(rules.general, rules.classes, text)) << ::testing::PrintToString(text);
  return fast;
}

using Pieces = std::vector<std::string>;

TEST(Cl100kPieces, Examples) {
  const auto cl = [](std::string_view t) { return split(kCl100k, t); };
  EXPECT_EQ(cl(""), Pieces{});
  EXPECT_EQ(cl(" hello"), Pieces{" hello"});
  EXPECT_EQ(cl("  hello"), (Pieces{" ", " hello"}));
  EXPECT_EQ(cl("\thello"), Pieces{"\thello"});
  EXPECT_EQ(cl("\nhello"), (Pieces{"\n", "hello"}));
  EXPECT_EQ(cl("   5"), (Pieces{"  ", " ", "5"}));
  EXPECT_EQ(cl("   !"), (Pieces{"  ", " !"}));
  EXPECT_EQ(cl("\t!"), (Pieces{"\t", "!"}));
  EXPECT_EQ(cl("!!\r\n\r\nx"), (Pieces{"!!\r\n\r\n", "x"}));
  EXPECT_EQ(cl(" ?\n"), Pieces{" ?\n"});
  EXPECT_EQ(cl("a \n b"), (Pieces{"a", " \n", " b"}));
  EXPECT_EQ(cl("x\n\n"), (Pieces{"x", "\n\n"}));
  EXPECT_EQ(cl("x\n  "), (Pieces{"x", "\n  "}));
  EXPECT_EQ(cl("x\n  y"), (Pieces{"x", "\n", " ", " y"}));
  EXPECT_EQ(cl("don't"), (Pieces{"don", "'t"}));
  EXPECT_EQ(cl("DON'T"), (Pieces{"DON", "'T"}));
  EXPECT_EQ(cl("''s"), (Pieces{"''", "s"}));
  EXPECT_EQ(cl("'sup"), (Pieces{"'s", "up"}));
  EXPECT_EQ(cl("we'll've"), (Pieces{"we", "'ll", "'ve"}));
  EXPECT_EQ(cl("12345"), (Pieces{"123", "45"}));
}

TEST(Cl100kPieces, NonAsciiClassesAndInvalidUtf8) {
  const auto cl = [](std::string_view t) { return split(kCl100k, t); };
  EXPECT_EQ(cl("\xc3"), Pieces{"\xc3"});            // a lone lead byte reads as U+00C3
  EXPECT_EQ(cl("\xc3\x41x"), Pieces{"\xc3\x41x"});  // C3 41 is one letter, U+00C1
  EXPECT_EQ(cl("x\xaa"), Pieces{"x\xaa"});          // stray 0xAA is a letter
  EXPECT_EQ(cl("x\xa0y"), (Pieces{"x", "\xa0y"}));  // stray 0xA0 is whitespace
  EXPECT_EQ(cl("1\xb2"), Pieces{"1\xb2"});          // stray 0xB2 is a number
  // Numbers of any script group by three characters, mixed with ASCII digits.
  EXPECT_EQ(cl("1\u00b2\u0663456"), (Pieces{"1\u00b2\u0663", "456"}));
  EXPECT_EQ(cl("\u00bd\u00bd\u00bd\u00bd"), (Pieces{"\u00bd\u00bd\u00bd", "\u00bd"}));
  // A supplementary-plane letter joins a letter run.
  EXPECT_EQ(cl(" ab\U0001D400cd!"), (Pieces{" ab\U0001D400cd", "!"}));
  // Apostrophe look-alikes never form contractions.
  EXPECT_EQ(cl("don\u2019t"), (Pieces{"don", "\u2019t"}));
  EXPECT_EQ(cl("caf\u00e9 \u4e2d\u6587"), (Pieces{"caf\u00e9", " \u4e2d\u6587"}));
  EXPECT_EQ(cl("a\u3000\u3000b"), (Pieces{"a", "\u3000", "\u3000b"}));
}

TEST(O200kPieces, Examples) {
  const auto o = [](std::string_view t) { return split(kO200k, t); };
  EXPECT_EQ(o(""), Pieces{});
  EXPECT_EQ(o("HelloWorld"), (Pieces{"Hello", "World"}));
  EXPECT_EQ(o("HELLOworld"), Pieces{"HELLOworld"});
  EXPECT_EQ(o("helloWORLD"), (Pieces{"hello", "WORLD"}));
  EXPECT_EQ(o(" McDonald"), (Pieces{" Mc", "Donald"}));
  EXPECT_EQ(o("don't"), Pieces{"don't"});
  EXPECT_EQ(o("DON'T"), Pieces{"DON'T"});
  EXPECT_EQ(o("they'll've"), (Pieces{"they'll", "'ve"}));
  EXPECT_EQ(o("'s"), Pieces{"'s"});
  EXPECT_EQ(o("a/b"), (Pieces{"a", "/b"}));
  EXPECT_EQ(o("!\n/x"), (Pieces{"!\n/", "x"}));
  EXPECT_EQ(o(" ?/"), Pieces{" ?/"});
  EXPECT_EQ(o("x\n  "), (Pieces{"x", "\n", "  "}));
  EXPECT_EQ(o("12345"), (Pieces{"123", "45"}));
  EXPECT_EQ(o("ABC"), Pieces{"ABC"});
  EXPECT_EQ(o("ABCdef"), Pieces{"ABCdef"});
  EXPECT_EQ(o("it'S it'Ll it'rE"), (Pieces{"it'S", " it'Ll", " it'rE"}));
  EXPECT_EQ(o("it\u2019s"), (Pieces{"it", "\u2019s"}));
  EXPECT_EQ(o("x \n\n"), (Pieces{"x", " \n\n"}));
}

TEST(O200kPieces, MarksAndOtherLetterKinds) {
  const auto o = [](std::string_view t) { return split(kO200k, t); };
  // Space, combining acute, letters: the mark opens the upper run of word form A.
  EXPECT_EQ(o("a \u0301bc"), (Pieces{"a", " \u0301bc"}));
  // A mark can be the required lower part after capitals.
  EXPECT_EQ(o("AB\u0301!"), (Pieces{"AB\u0301", "!"}));
  // Lo letters belong to both sets.
  EXPECT_EQ(o("\u4e2d\u6587abc"), Pieces{"\u4e2d\u6587abc"});
  EXPECT_EQ(o("\U0001D400\U0001D44E"), Pieces{"\U0001D400\U0001D44E"});
  EXPECT_EQ(o("\u01c5a"), Pieces{"\u01c5a"});  // titlecase then small
}

TEST(R50kPieces, Examples) {
  const auto r = [](std::string_view t) { return split(kR50k, t); };
  EXPECT_EQ(r(""), Pieces{});
  EXPECT_EQ(r("don't"), (Pieces{"don", "'t"}));
  EXPECT_EQ(r("DON'T"), (Pieces{"DON", "'", "T"}));  // contractions in lower case only
  EXPECT_EQ(r("'sup"), (Pieces{"'s", "up"}));
  EXPECT_EQ(r("12345 67"), (Pieces{"12345", " 67"}));
  EXPECT_EQ(r("\thello"), (Pieces{"\t", "hello"}));  // only a space leads a run
  EXPECT_EQ(r("a   b"), (Pieces{"a", "  ", " b"}));
  EXPECT_EQ(r("x\n\ny"), (Pieces{"x", "\n", "\n", "y"}));
  EXPECT_EQ(r("x\n  "), (Pieces{"x", "\n  "}));
  EXPECT_EQ(r("!!\r\n"), (Pieces{"!!", "\r\n"}));
  EXPECT_EQ(r(" ?\n"), (Pieces{" ?", "\n"}));
  EXPECT_EQ(r("caf\u00e9 \u0663\u0664 \u4e2d"), (Pieces{"caf\u00e9", " \u0663\u0664", " \u4e2d"}));
}

// Random bytes biased towards the characters the rules care about.
std::string random_bytes(std::mt19937_64& rng) {
  static const std::vector<std::string> kAtoms = {" ",
                                                  "  ",
                                                  "\t",
                                                  "\n",
                                                  "\r\n",
                                                  "\v",
                                                  "'",
                                                  "'s",
                                                  "'LL",
                                                  "a",
                                                  "Z",
                                                  "xyz",
                                                  "ABC",
                                                  "0",
                                                  "123",
                                                  "!",
                                                  "/",
                                                  "?!",
                                                  ".",
                                                  "\x85",
                                                  "\xa0",
                                                  "\xc3",
                                                  "\xff",
                                                  "\xe2\x82",
                                                  "\xf0\x9f",
                                                  "\xc3\xa9",
                                                  "\u00a0",
                                                  "\u0301",
                                                  "\u2019",
                                                  "\u3000",
                                                  "\u4e2d",
                                                  "\u00bd",
                                                  "\U0001D400",
                                                  "\U0001F600",
                                                  "\u02b0",
                                                  "\u01c5",
                                                  "\xed\xa0\x80",
                                                  "\xc0\xa0",
                                                  "\xc0\xa7",
                                                  "\xe0\x80\x8a",
                                                  "\xf8\x88\x80\x80"};
  std::string text;
  const int parts = std::uniform_int_distribution<int>(1, 12)(rng);
  for (int i = 0; i < parts; ++i) {
    if (std::uniform_int_distribution<int>(0, 4)(rng) == 0) {
      text += static_cast<char>(std::uniform_int_distribution<int>(0, 255)(rng));
    } else {
      text += kAtoms[std::uniform_int_distribution<std::size_t>(0, kAtoms.size() - 1)(rng)];
    }
  }
  return text;
}

class AnyRuleSet : public ::testing::TestWithParam<RuleSet> {};

TEST_P(AnyRuleSet, PiecesTileAnyBytesAndBothPathsAgree) {
  const RuleSet& rules = GetParam();
  std::mt19937_64 rng(42);
  for (int i = 0; i < 200000; ++i) {
    const std::string text = random_bytes(rng);
    std::size_t covered = 0;
    for (std::size_t p = 0; p < text.size();) {
      const std::size_t fast = rules.fast(builtin_classes(rules.classes), as_bytes(text), p);
      const std::size_t general = rules.general(builtin_classes(rules.classes), as_bytes(text), p);
      ASSERT_EQ(fast, general) << ::testing::PrintToString(text) << " at " << p;
      ASSERT_GE(fast, 1u);
      ASSERT_LE(p + fast, text.size());
      covered += fast;
      p += fast;
    }
    ASSERT_EQ(covered, text.size());
  }
}

TEST_P(AnyRuleSet, LongRunsCrossSixteenByteBlocks) {
  const RuleSet& rules = GetParam();
  for (const std::string unit : {"a", "Q", " ", "\n", "!", " \n", "\t ", "-+"}) {
    for (std::size_t len : {15u, 16u, 17u, 31u, 32u, 33u, 100u}) {
      std::string run;
      while (run.size() < len) run += unit;
      for (const std::string tail : {"", "x", "\u00e9", "\u0301", "\u3000", "\u00a0", "5"}) {
        split(rules, run + tail);
        split(rules, "x" + run + tail);
        split(rules, " " + run + tail + " y");
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Each, AnyRuleSet,
                         ::testing::Values(kCl100k, kCl100kLineBreakFirst, kO200k, kR50k),
                         [](const auto& info) { return std::string(info.param.name); });

// Bytes that end or continue each run, with the text's end anywhere within or after a block.
std::string random_scan_input(std::mt19937_64& rng, int round) {
  static const std::string kAlphabet = "aZm Q \t\n\r!/0\x80\xff\x0b7\x7f@[`{";
  std::string s(std::uniform_int_distribution<int>(0, 100)(rng), ' ');
  const bool mostly_one = round % 2 == 0;
  for (char& c : s) {
    c = mostly_one && std::uniform_int_distribution<int>(0, 30)(rng) != 0
            ? kAlphabet[round / 2 % kAlphabet.size()]
            : kAlphabet[std::uniform_int_distribution<std::size_t>(0, kAlphabet.size() - 1)(rng)];
  }
  return s;
}

template <simd::Kernel kKernel>
void expect_scans_equal_scalar_ones(const std::string& text) {
  using simd::AsciiRun;
  using Scans = simd::Scans<kKernel>;
  using Scalar = simd::ScalarScans;
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t start = 0; start <= std::min<std::size_t>(n, 3); ++start) {
    SCOPED_TRACE(::testing::PrintToString(text) + " from " + std::to_string(start));
    EXPECT_EQ(Scans::template run_end<AsciiRun::kLetter>(s, start, n),
              Scalar::run_end<AsciiRun::kLetter>(s, start, n));
    EXPECT_EQ(Scans::template run_end<AsciiRun::kUpper>(s, start, n),
              Scalar::run_end<AsciiRun::kUpper>(s, start, n));
    EXPECT_EQ(Scans::template run_end<AsciiRun::kLower>(s, start, n),
              Scalar::run_end<AsciiRun::kLower>(s, start, n));
    EXPECT_EQ(Scans::template run_end<AsciiRun::kDigit>(s, start, n),
              Scalar::run_end<AsciiRun::kDigit>(s, start, n));
    EXPECT_EQ(Scans::template run_end<AsciiRun::kOther>(s, start, n),
              Scalar::run_end<AsciiRun::kOther>(s, start, n));
    EXPECT_EQ(Scans::cased_word_end(s, start, n), Scalar::cased_word_end(s, start, n));
    std::size_t vector_newline = 1000, scalar_newline = 1000;
    EXPECT_EQ(Scans::whitespace_run_end(s, start, n, vector_newline),
              Scalar::whitespace_run_end(s, start, n, scalar_newline));
    EXPECT_EQ(vector_newline, scalar_newline);
  }
  if (n >= simd::Sse2Block::kWidth) {
    const simd::BlockClasses vector = simd::Sse2Block::classify(s);
    const simd::BlockClasses scalar = simd::classify_scalar(s, simd::Sse2Block::kWidth);
    EXPECT_EQ(vector.letter, scalar.letter);
    EXPECT_EQ(vector.upper, scalar.upper);
    EXPECT_EQ(vector.lower, scalar.lower);
    EXPECT_EQ(vector.digit, scalar.digit);
    EXPECT_EQ(vector.whitespace, scalar.whitespace);
    EXPECT_EQ(vector.newline, scalar.newline);
    EXPECT_EQ(vector.slash, scalar.slash);
    EXPECT_EQ(vector.non_ascii, scalar.non_ascii);
  }
}

std::vector<simd::Kernel> supported_kernels() {
  std::vector<simd::Kernel> kernels;
  for (const simd::Kernel kernel : simd::kAllKernels) {
    if (simd::kernel_supported(kernel)) kernels.push_back(kernel);
  }
  return kernels;
}

TEST(AsciiScans, VectorScansEqualScalarOnes) {
  std::mt19937_64 rng(1);
  const bool avx2 = simd::kernel_supported(simd::Kernel::kAvx2);
  if (!avx2) std::cout << "this CPU has no AVX2: its scans are not run\n";
  for (int round = 0; round < 20000; ++round) {
    const std::string text = random_scan_input(rng, round);
    expect_scans_equal_scalar_ones<simd::Kernel::kSse2>(text);
    if (avx2) expect_scans_equal_scalar_ones<simd::Kernel::kAvx2>(text);
  }
}

// Every kernel's pre-tokenizer cuts the pieces its scalar one cuts, on mixed ASCII and non-ASCII
// text whose runs cross block boundaries and whose end falls anywhere in a block.
TEST(AsciiScans, EveryKernelCutsThePiecesOfTheScalarOne) {
  const NextPiece kScalar[] = {
      cl100k_scanner(simd::Kernel::kScalar),
      cl100k_scanner<WhitespaceRules::kLineBreakFirst>(simd::Kernel::kScalar),
      o200k_scanner(simd::Kernel::kScalar)};
  std::mt19937_64 rng(7);
  for (int round = 0; round < 30000; ++round) {
    std::string text;
    while (text.size() < 40 + static_cast<std::size_t>(round % 160)) text += random_bytes(rng);
    text += std::string(std::uniform_int_distribution<int>(0, 40)(rng), "aA 1!\n"[round % 6]);
    for (const simd::Kernel kernel : supported_kernels()) {
      const NextPiece kernels[] = {cl100k_scanner(kernel),
                                   cl100k_scanner<WhitespaceRules::kLineBreakFirst>(kernel),
                                   o200k_scanner(kernel)};
      for (int rules = 0; rules < 3; ++rules) {
        const int classes = rules < 2 ? 3 : 5;
        ASSERT_EQ(pieces(kernels[rules], classes, text), pieces(kScalar[rules], classes, text))
            << simd::kernel_name(kernel) << " " << ::testing::PrintToString(text);
      }
    }
  }
}

}  // namespace
}  // namespace pelnor
